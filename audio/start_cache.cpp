#include "audio/start_cache.h"

#include <algorithm>

void StartCache::erase(std::unordered_map<std::string, SoundStart>::iterator it)
{
    bytes_ -= it->second.pcm->bytes();
    starts_.erase(it);
}

SoundStart *StartCache::find(const std::string &path, const FileKey &key)
{
    auto it = starts_.find(path);
    if (it == starts_.end())
        return nullptr;
    if (!(it->second.key == key)) {
        erase(it);
        return nullptr;
    }
    it->second.lastUse = ++useCounter_;
    return &it->second;
}

void StartCache::remember(const std::string &path, SoundStart start)
{
    if (!start.pcm || start.pcm->samples.empty())
        return;
    start.pcm->samples.shrink_to_fit();
    const std::size_t size = start.pcm->bytes();
    if (auto old = starts_.find(path); old != starts_.end())
        erase(old);
    while (!starts_.empty() && bytes_ + size > budget_) {
        erase(std::min_element(starts_.begin(), starts_.end(), [](auto &a, auto &b) {
            return a.second.lastUse < b.second.lastUse;
        }));
    }
    if (bytes_ + size > budget_)
        return;
    start.lastUse = ++useCounter_;
    bytes_ += size;
    starts_.emplace(path, std::move(start));
}

void StartCache::clear()
{
    starts_.clear();
    bytes_ = 0;
}
