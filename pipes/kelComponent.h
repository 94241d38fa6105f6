#pragma once
// kelComponent: the small component model the pipes live in.
//
// A component may belong to an owner (a window's root component, say). The
// owner frees its components when it is freed, and when one of them is freed
// the owner and every remaining component of that owner are told through
// componentRemoved(), so that nobody keeps a pointer to it.
//
// Two state flags stand for how a component was brought to life:
//  - loading: its properties are being restored from a stored description;
//    endLoading() clears the flag and calls loaded();
//  - designing: it is being edited in a designer and must not start devices.
//
// Make and free components with kelCreate / kelFree. The component tree of
// one owner (creating, freeing, loading) is meant for one thread, the window
// thread; the state flags may be read from any thread.

#include "core/kelObject.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

class kelComponent : public kelObject
{
public:
    // Joins `owner`'s components when it is given.
    explicit kelComponent(kelComponent* owner = nullptr);
    ~kelComponent() override;

    kelComponent* owner() const noexcept { return f_owner; }
    size_t componentCount() const;
    // Null past the end.
    kelComponent* component(size_t index) const;

    bool loading() const noexcept { return f_loading.load(std::memory_order_acquire); }
    bool designing() const noexcept { return f_designing.load(std::memory_order_acquire); }
    void beginLoading() noexcept { f_loading.store(true, std::memory_order_release); }
    // Clears the loading flag, then runs loaded(). Nothing when not loading.
    void endLoading();
    void setDesigning(bool value) noexcept { f_designing.store(value, std::memory_order_release); }

    kelString _classID() const override { return u"kelComponent"; }

protected:
    // Loading has finished; the flag is already clear.
    virtual void loaded() {}
    // `component`, a component of the same owner (or one of this component's
    // own), is being freed. Called on the freeing thread, before its
    // destructors run.
    virtual void componentRemoved(kelComponent* component) { (void)component; }

    // Frees the owned components, then leaves the owner and tells the owner
    // and its remaining components. A subclass overriding it calls this last.
    void beforeDestruction() override;

private:
    void insertComponent(kelComponent* component);
    void removeComponent(kelComponent* component) noexcept;
    std::vector<kelComponent*> snapshot() const;

    kelComponent* f_owner;
    std::atomic<bool> f_loading{false};
    std::atomic<bool> f_designing{false};
    bool f_detached = false;
    mutable std::mutex f_componentsGuard;
    std::vector<kelComponent*> f_components;
};
