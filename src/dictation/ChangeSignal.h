#pragma once
// One "about to change" signal for an observable model, and the published
// property that sends it. Every assignment sends the signal once, before the
// new value is stored, also when the value does not change; observers re-read
// the model on the next turn of the loop rather than receiving a value.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace vell::dictation {

class ChangeSignal {
    struct Observers {
        std::map<std::uint64_t, std::function<void()>> byId;
        std::uint64_t nextId = 0;
    };

public:
    // Keeps an observer subscribed for as long as it lives. It holds the
    // signal weakly, so it may outlive the model it observes.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(std::weak_ptr<Observers> observers, std::uint64_t id)
            : observers_(std::move(observers)), id_(id) {}
        Subscription(Subscription&& other) noexcept : observers_(std::exchange(other.observers_, {})), id_(other.id_) {}
        Subscription& operator=(Subscription&& other) noexcept {
            if (this != &other) {
                cancel();
                observers_ = std::exchange(other.observers_, {});
                id_ = other.id_;
            }
            return *this;
        }
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        ~Subscription() { cancel(); }

        void cancel() {
            if (auto observers = observers_.lock()) observers->byId.erase(id_);
            observers_.reset();
        }

    private:
        std::weak_ptr<Observers> observers_;
        std::uint64_t id_ = 0;
    };

    [[nodiscard]] Subscription subscribe(std::function<void()> observer) const {
        const auto id = observers_->nextId++;
        observers_->byId.emplace(id, std::move(observer));
        return Subscription(observers_, id);
    }

    // Calls every observer subscribed now; one that unsubscribes during the
    // round is not called afterwards.
    void send() const {
        std::vector<std::uint64_t> ids;
        ids.reserve(observers_->byId.size());
        for (const auto& entry : observers_->byId) ids.push_back(entry.first);
        const auto keepAlive = observers_;
        for (auto id : ids) {
            auto it = keepAlive->byId.find(id);
            if (it == keepAlive->byId.end()) continue;
            auto observer = it->second;  // a copy: the observer may unsubscribe itself
            observer();
        }
    }

private:
    std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

// A value of the model that announces every assignment on its model's signal.
template <typename T>
class Published {
public:
    Published(const ChangeSignal& signal, T initial) : signal_(signal), value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const { return value_; }

    void set(T value) {
        signal_.send();
        value_ = std::move(value);
    }

    // An in-place change (insert, trim): one announcement, then the change.
    template <typename Change>
    void modify(Change&& change) {
        signal_.send();
        std::forward<Change>(change)(value_);
    }

private:
    const ChangeSignal& signal_;
    T value_;
};

}  // namespace vell::dictation
