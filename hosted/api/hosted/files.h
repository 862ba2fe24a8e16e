// Files: "\??\X:\dir\file" names, each drive letter mapped to a host folder.
#pragma once

#include <cstdint>
#include <string>

typedef int NTSTATUS;

namespace hosted {

struct Files {
    // Map drive letter `drive` to the host folder `hostDir` (which must exist).
    static void MapDrive(char drive, const std::string& hostDir);
    static void UnmapDrive(char drive);

    // Failure injection, keyed by the kernel name as passed to ZwCreateFile
    // (e.g. "\\??\\C:\\fw\\isp.bin"), compared case-insensitively. As
    // everywhere in the platform: nth 0 fails every attempt, N only the Nth
    // attempt counted from the call; ClearFailures lifts every rule.
    // Opening that name fails with `status` (e.g. STATUS_ACCESS_DENIED).
    static void FailOpen(const std::string& ntName, NTSTATUS status, uint64_t nth = 0);
    // Every ZwReadFile on a handle of that name moves at most `maxBytes`.
    static void ShortReads(const std::string& ntName, uint32_t maxBytes);
    // ZwReadFile on a handle of that name fails with `status`.
    static void FailRead(const std::string& ntName, NTSTATUS status, uint64_t nth = 0);
    // ZwQueryInformationFile on a handle of that name fails with `status`.
    static void FailQuery(const std::string& ntName, NTSTATUS status, uint64_t nth = 0);
    static void ClearFailures();

    // Calls made for that name since boot, failed and injected ones
    // included: opens, information queries, reads.
    enum class FileOp { Open, Query, Read };
    static uint64_t Attempts(FileOp op, const std::string& ntName);

    static size_t OpenHandles();
    static uint64_t OpenCount(const std::string& ntName);  // successful opens of that name
};

}  // namespace hosted
