#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Object.hpp"
#include "foundation/Value.hpp"

namespace tandril {

// One in-process notification: a name, the object that posted it, a user-info map.
struct Notification {
    std::string name;
    std::shared_ptr<Object> object;
    Dictionary userInfo;
};

// The in-process notification center. Observers register by name, with or without a
// sender filter; posting on the main thread delivers synchronously to every matching
// observer, in order of registration. A post from another thread is handed to the main
// loop and delivered there (a center must then outlive the loop's pending work: the
// default center lives for the whole process).
class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    static NotificationCenter& defaultCenter();

    // `name` empty matches every name; `sender` null matches every sender (compared by identity).
    Token addObserver(const std::string& name, const Object* sender, Observer observer);
    void removeObserver(Token token);

    void postNotification(const std::string& name, std::shared_ptr<Object> object = nullptr,
                          Dictionary userInfo = {});

    std::size_t observerCount() const;

private:
    struct Entry {
        Token token;
        std::string name;
        const Object* sender;
        std::shared_ptr<Observer> observer;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    Token next_ = 1;
};

// Removes its observer when destroyed: hold one per observation in an owning object.
class ObserverRegistration {
public:
    ObserverRegistration() = default;
    ObserverRegistration(NotificationCenter& center, NotificationCenter::Token token)
        : center_(&center), token_(token) {}
    ObserverRegistration(ObserverRegistration&& other) noexcept;
    ObserverRegistration& operator=(ObserverRegistration&& other) noexcept;
    ObserverRegistration(const ObserverRegistration&) = delete;
    ObserverRegistration& operator=(const ObserverRegistration&) = delete;
    ~ObserverRegistration();
    void reset();

private:
    NotificationCenter* center_ = nullptr;
    NotificationCenter::Token token_ = 0;
};

}  // namespace tandril
