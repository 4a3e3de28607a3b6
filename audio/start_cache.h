#pragma once

#include "audio/file_key.h"
#include "audio/voice.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

// The start of a sound, decoded: a press plays it at once while the rest is
// decoded behind it. A sound no longer than its start is kept whole.
struct SoundStart {
    FileKey key;
    std::shared_ptr<Pcm> pcm;
    bool whole = false;
    std::uint64_t lastUse = 0;
};

// Decoded starts by path, within a budget; the least recently used go first.
// One thread only.
class StartCache {
public:
    explicit StartCache(std::size_t budgetBytes)
        : budget_(budgetBytes)
    {
    }

    // The start kept for path, if it was made from the file as it is now (key);
    // one made from an older file is dropped. Counts as a use.
    SoundStart *find(const std::string &path, const FileKey &key);
    // Keeps start for path in place of any older one, if it fits the budget.
    void remember(const std::string &path, SoundStart start);
    void clear();
    std::size_t bytes() const { return bytes_; }

private:
    void erase(std::unordered_map<std::string, SoundStart>::iterator it);

    const std::size_t budget_;
    std::unordered_map<std::string, SoundStart> starts_;
    std::size_t bytes_ = 0;
    std::uint64_t useCounter_ = 0;
};
