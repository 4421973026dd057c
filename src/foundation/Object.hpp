#pragma once

#include <memory>
#include <string>

namespace tandril {

// The root of the project's shared objects: anything that log lines print with %@.
class Object : public std::enable_shared_from_this<Object> {
public:
    virtual ~Object() = default;

    // The class name without namespace: "CNNotification".
    virtual std::string className() const;
    // Default: "<ClassName: 0x7f...>" as the platform's root class prints it.
    virtual std::string description() const;
    // "<ClassName: 0x7f...>" whatever description() is overridden to.
    std::string defaultDescription() const;

protected:
    Object() = default;
    Object(const Object&) = default;
    Object& operator=(const Object&) = default;
};

}  // namespace tandril
