#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// What identifies a file's content without reading it: a file replaced or
// rewritten since it was decoded is decoded again.
struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileKey &o) const
    {
        return device == o.device && inode == o.inode && size == o.size && mtimeNs == o.mtimeNs;
    }
};

// Opens only non-empty regular files, non-blocking, so that a FIFO named like an
// effect cannot stall the worker, and fills key. Returns -1 for anything else.
int openRegularFile(const std::string &path, FileKey &key);
