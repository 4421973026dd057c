#include "foundation/NotificationCenter.hpp"

#include <algorithm>

#include "foundation/RunLoop.hpp"

namespace tandril {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, const Object* sender,
                                                          Observer observer) {
    std::lock_guard lock(mutex_);
    Token token = next_++;
    entries_.push_back(Entry{token, name, sender, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::shared_ptr<Observer> released;  // destroyed after the lock: it may own registrations
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.token == token; });
    if (it == entries_.end()) return;
    released = std::move(it->observer);
    entries_.erase(it);
}

void NotificationCenter::postNotification(const std::string& name, std::shared_ptr<Object> object,
                                          Dictionary userInfo) {
    // Observers run on the main thread: a post from another thread is delivered there,
    // after what the main loop already has to do.
    if (RunLoop::hasMain() && !RunLoop::main().isLoopThread()) {
        RunLoop::main().post([this, name, object = std::move(object), userInfo = std::move(userInfo)]() mutable {
            postNotification(name, std::move(object), std::move(userInfo));
        });
        return;
    }
    Notification notification{name, std::move(object), std::move(userInfo)};
    // Deliver from a copy: observers may add or remove observers while they run. One
    // removed during this delivery is not called afterwards; one added is not called for
    // this notification.
    std::vector<std::pair<Token, std::shared_ptr<Observer>>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const Entry& e : entries_) {
            if ((e.name.empty() || e.name == name) && (!e.sender || e.sender == notification.object.get())) {
                targets.emplace_back(e.token, e.observer);
            }
        }
    }
    for (const auto& [token, observer] : targets) {
        bool stillRegistered;
        {
            std::lock_guard lock(mutex_);
            stillRegistered = std::any_of(entries_.begin(), entries_.end(),
                                          [&, t = token](const Entry& e) { return e.token == t; });
        }
        if (stillRegistered && *observer) (*observer)(notification);
    }
}

std::size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

ObserverRegistration::ObserverRegistration(ObserverRegistration&& other) noexcept
    : center_(other.center_), token_(other.token_) {
    other.center_ = nullptr;
    other.token_ = 0;
}

ObserverRegistration& ObserverRegistration::operator=(ObserverRegistration&& other) noexcept {
    if (this != &other) {
        reset();
        center_ = other.center_;
        token_ = other.token_;
        other.center_ = nullptr;
        other.token_ = 0;
    }
    return *this;
}

ObserverRegistration::~ObserverRegistration() { reset(); }

void ObserverRegistration::reset() {
    if (center_) center_->removeObserver(token_);
    center_ = nullptr;
    token_ = 0;
}

}  // namespace tandril
