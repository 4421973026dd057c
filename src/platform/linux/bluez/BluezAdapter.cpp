#include "platform/linux/bluez/BluezAdapter.hpp"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <atomic>
#include <condition_variable>

#include "foundation/Log.hpp"
#include "platform/linux/bluez/BluezAgent.hpp"
#include "platform/linux/bluez/BluezBus.hpp"
#include "platform/linux/bluez/BluezCentral.hpp"
#include "platform/linux/bluez/BluezClassicDevice.hpp"

namespace tandril {

namespace {
std::atomic<int> connectionCounter{0};

void ensureApplication() {
    if (QCoreApplication::instance()) return;
    // QtDBus and the D-Bus thread's event loop need an application object.
    static int argc = 1;
    static char name[] = "tandril";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* application = new QCoreApplication(argc, argv);
    (void)application;
}

// Runs `job` on `thread`'s event loop and waits for it.
void runOn(QObject* context, const std::function<void()>& job) {
    QMetaObject::invokeMethod(context, job, Qt::BlockingQueuedConnection);
}
}  // namespace

// Hands the bus's events to the current central, on the D-Bus thread.
class BluezAdapter::Listener : public BluezBus::Listener {
public:
    explicit Listener(BluezAdapter* adapter) : adapter_(adapter) {}

    std::shared_ptr<BluezCentral> central() {
        std::lock_guard<std::mutex> lock(adapter_->mutex_);
        auto central = adapter_->central_.lock();
        return central && central->isActive() ? central : nullptr;
    }

    void busTreeLoaded(bool hasOwner) override {
        if (hasOwner && adapter_->agent_) adapter_->agent_->registerWithBluez();
        if (auto c = central()) c->busTreeLoaded(hasOwner);
    }
    void busOwnerLost() override {
        if (auto c = central()) c->busOwnerLost();
    }
    void busInterfacesAdded(const QString& path, const BluezBus::Interfaces& added) override {
        if (auto c = central()) c->busInterfacesAdded(path, added);
    }
    void busInterfacesRemoved(const QString& path, const QStringList& removed) override {
        if (auto c = central()) c->busInterfacesRemoved(path, removed);
    }
    void busPropertiesChanged(const QString& path, const QString& interface, const QVariantMap& changed,
                              const QStringList& invalidated) override {
        if (auto c = central()) c->busPropertiesChanged(path, interface, changed, invalidated);
    }

private:
    BluezAdapter* const adapter_;
};

std::shared_ptr<BluezAdapter> BluezAdapter::create(Options options) {
    ensureApplication();
    return std::shared_ptr<BluezAdapter>(new BluezAdapter(std::move(options)));
}

BluezAdapter::BluezAdapter(Options options) : options_(std::move(options)), listener_(std::make_unique<Listener>(this)) {
    thread_ = new QThread();
    thread_->setObjectName(QStringLiteral("bluez"));
    const QString name = QStringLiteral("tandril-bluez-%1").arg(++connectionCounter);
    bus_ = new BluezBus(QString::fromStdString(options_.busAddress), name);
    bus_->moveToThread(thread_);
    gate_ = bus_->gate();
    tree_ = bus_->sharedTree();
    thread_->start();
    runOn(bus_, [this] {
        if (options_.registerAgent) {
            agent_ = new BluezAgent(bus_, options_.pairingConfirmTimeout);
            agent_->setParent(bus_);
        }
        bus_->start(listener_.get());
    });
}

BluezAdapter::~BluezAdapter() {
    std::shared_ptr<BluezCentral> central;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        central = central_.lock();
        central_.reset();
    }
    runOn(bus_, [this, central] {
        if (central) central->deactivate();
        delete bus_;  // the agent is its child
        bus_ = nullptr;
        agent_ = nullptr;
    });
    thread_->quit();
    thread_->wait();
    delete thread_;
}

std::shared_ptr<PlatformCentral> BluezAdapter::createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                             std::shared_ptr<DispatchQueue> queue) {
    auto central = std::make_shared<BluezCentral>(options_, bus_, std::move(delegate), std::move(queue));
    std::shared_ptr<BluezCentral> previous;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        previous = central_.lock();
        central_ = central;
    }
    gate_->post([previous, central] {
        if (previous) previous->deactivate();
        central->attach();
    });
    return central;
}

std::vector<std::shared_ptr<PlatformClassicDevice>> BluezAdapter::pairedDevices() {
    std::vector<std::shared_ptr<PlatformClassicDevice>> found;
    const auto tree = tree_->snapshot();
    const QString adapter = BluezCentral::chooseAdapter(tree, options_.adapterName);
    if (adapter.isEmpty()) return found;
    const QString deviceInterface = QStringLiteral("org.bluez.Device1");
    std::weak_ptr<BluezBusGate> gate = gate_;
    BluezBus* bus = bus_;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [path, interfaces] : tree) {
        auto device = interfaces.find(deviceInterface);
        if (device == interfaces.end() || !path.startsWith(adapter + QLatin1Char('/'))) continue;
        const QVariant paired = device->second.value(QStringLiteral("Paired"));
        if (paired.userType() != QMetaType::Bool || !paired.toBool()) continue;
        std::optional<std::string> name;
        for (const char* key : {"Alias", "Name"}) {
            const QVariant text = device->second.value(QLatin1String(key));
            if (text.userType() == QMetaType::QString) {
                name = text.toString().toStdString();
                break;
            }
        }
        const std::string key = path.toStdString() + "\n" + name.value_or("");
        auto& entry = classicDevices_[key];
        if (!entry) {
            entry = std::make_shared<BluezClassicDevice>(path, name, [gate, bus](const QString& devicePath) {
                auto open = gate.lock();
                if (!open) return false;
                return open->post([bus, devicePath] {
                    bus->call(devicePath, QStringLiteral("org.bluez.Device1"), QStringLiteral("Disconnect"), {}, 45,
                              [devicePath](const QDBusMessage& reply) {
                                  if (reply.type() == QDBusMessage::ErrorMessage)
                                      log("[BLUEZ] Disconnect of %s failed: %s", devicePath.toStdString(),
                                          reply.errorName().toStdString());
                              });
                });
            });
        }
        found.push_back(entry);
    }
    return found;
}

bool BluezAdapter::sync(std::chrono::milliseconds limit) {
    struct Wait {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    auto wait = std::make_shared<Wait>();
    BluezBus* bus = bus_;
    const bool posted = gate_->post([bus, wait] {
        bus->ping([wait] {
            std::lock_guard<std::mutex> lock(wait->mutex);
            wait->finished = true;
            wait->done.notify_all();
        });
    });
    if (!posted) return false;
    std::unique_lock<std::mutex> lock(wait->mutex);
    return wait->done.wait_for(lock, limit, [&] { return wait->finished; });
}

std::size_t BluezAdapter::pendingCalls() const {
    return bus_->pendingCallCount();
}

}  // namespace tandril
