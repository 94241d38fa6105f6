#include "pipes/kelComponent.h"

#include "core/kelCreate.h"

#include <algorithm>

kelComponent::kelComponent(kelComponent* owner) : f_owner(owner)
{
    if (f_owner) f_owner->insertComponent(this);
}

kelComponent::~kelComponent()
{
    // Freed without kelFree (or a subclass skipped the hook): still leave the
    // owner, so it never frees or notifies a dead component.
    if (f_owner && !f_detached) f_owner->removeComponent(this);
}

size_t kelComponent::componentCount() const
{
    std::lock_guard<std::mutex> guard(f_componentsGuard);
    return f_components.size();
}

kelComponent* kelComponent::component(size_t index) const
{
    std::lock_guard<std::mutex> guard(f_componentsGuard);
    return index < f_components.size() ? f_components[index] : nullptr;
}

void kelComponent::endLoading()
{
    if (!f_loading.exchange(false, std::memory_order_acq_rel)) return;
    try {
        loaded();
    } catch (...) {
        kelReportHookFailure("kelComponent::loaded");
    }
}

void kelComponent::beforeDestruction()
{
    // Owned components go first, newest first, each telling the others.
    for (;;) {
        kelComponent* last = nullptr;
        {
            std::lock_guard<std::mutex> guard(f_componentsGuard);
            if (f_components.empty()) break;
            last = f_components.back();
            f_components.pop_back();
        }
        kelFree(last);
    }
    if (!f_owner || f_detached) return;
    f_owner->removeComponent(this);
    f_detached = true;
    // The snapshot stays valid: the tree changes only on this thread.
    std::vector<kelComponent*> others = f_owner->snapshot();
    others.push_back(f_owner);
    for (kelComponent* other : others) {
        try {
            other->componentRemoved(this);
        } catch (...) {
            kelReportHookFailure("kelComponent::componentRemoved");
        }
    }
}

void kelComponent::insertComponent(kelComponent* component)
{
    std::lock_guard<std::mutex> guard(f_componentsGuard);
    f_components.push_back(component);
}

void kelComponent::removeComponent(kelComponent* component) noexcept
{
    std::lock_guard<std::mutex> guard(f_componentsGuard);
    const auto it = std::find(f_components.begin(), f_components.end(), component);
    if (it != f_components.end()) f_components.erase(it);
}

std::vector<kelComponent*> kelComponent::snapshot() const
{
    std::lock_guard<std::mutex> guard(f_componentsGuard);
    return f_components;
}
