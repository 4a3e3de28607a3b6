#include "audio/stay_awake.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace {

std::atomic<bool> on{false};
std::mutex mutex;
std::vector<std::weak_ptr<std::function<void()>>> watchers;

} // namespace

bool StayAwake::wanted()
{
    return on.load();
}

void StayAwake::set(bool value)
{
    if (on.exchange(value) == value)
        return;
    std::lock_guard lock(mutex);
    watchers.erase(
        std::remove_if(watchers.begin(), watchers.end(), [](const auto &w) { return w.expired(); }),
        watchers.end());
    for (const auto &w : watchers)
        if (const auto f = w.lock())
            (*f)();
}

std::shared_ptr<void> StayAwake::watch(std::function<void()> changed)
{
    auto f = std::make_shared<std::function<void()>>(std::move(changed));
    std::lock_guard lock(mutex);
    watchers.push_back(f);
    return f;
}

bool StayAwake::watched()
{
    std::lock_guard lock(mutex);
    return std::any_of(watchers.begin(), watchers.end(),
                       [](const auto &w) { return !w.expired(); });
}
