// Files: "\??\X:\..." names resolved in host folders mapped to drive letters.
// The hosted file system is read-only.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {

struct FileState {
    int fd = -1;
    std::string ntName;
    std::string key;  // lower-case nt name
    bool directory = false;
    bool synchronous = false;
    int64_t position = 0;
    ~FileState()
    {
        if (fd >= 0) ::close(fd);
    }
};

void ResetFiles() {}

void CloseKeyOrFile(HandleEntry& e) { e.holder.reset(); }

std::string DescribeKeyHandle(void* object);

std::string DescribeHandle(const HandleEntry& e)
{
    switch (e.kind) {
    case HandleKind::Key:
        return "registry key handle (" + DescribeKeyHandle(e.object) + ")";
    case HandleKind::File:
        return "file handle (" + static_cast<FileState*>(e.object)->ntName + ")";
    default:
        return "thread handle";
    }
}

}  // namespace hosted::detail

namespace {

bool BadChar(char c)
{
    return (unsigned char)c < 32 || std::strchr("<>:\"|?*/", c) != nullptr;
}

// Finds `name` in `dir`, exactly or ignoring case (the host file system is
// case-sensitive, Windows names are not).
bool FindEntry(const std::string& dir, const std::string& name, std::string& found)
{
    struct stat st;
    if (::lstat((dir + "/" + name).c_str(), &st) == 0) {
        found = name;
        return true;
    }
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    std::string l = Lower(name);
    bool ok = false;
    while (dirent* e = ::readdir(d)) {
        if (Lower(e->d_name) == l) {
            found = e->d_name;
            ok = true;
            break;
        }
    }
    ::closedir(d);
    return ok;
}

// Resolves an NT name to a host path. Status on failure.
NTSTATUS Resolve(const std::string& nt, std::string& hostPath)
{
    Kernel& k = K();
    if (nt.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (nt[0] != '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::string rest;
    std::string l = Lower(nt);
    for (const char* prefix : {"\\??\\", "\\dosdevices\\", "\\global??\\"}) {
        if (l.rfind(prefix, 0) == 0) {
            rest = nt.substr(std::strlen(prefix));
            break;
        }
    }
    if (rest.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;  // no such object directory in the hosted namespace
    if (rest.size() < 2 || rest[1] != ':') return STATUS_OBJECT_NAME_INVALID;
    char drive = char(std::toupper((unsigned char)rest[0]));
    auto it = k.drives.find(drive);
    if (it == k.drives.end()) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (rest.size() < 4 || rest[2] != '\\') return STATUS_OBJECT_NAME_INVALID;
    std::vector<std::string> comps;
    size_t start = 3;
    for (;;) {
        size_t end = rest.find('\\', start);
        std::string c = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (c.empty() || c == "." || c == "..") return STATUS_OBJECT_NAME_INVALID;
        for (char ch : c)
            if (BadChar(ch)) return STATUS_OBJECT_NAME_INVALID;
        comps.push_back(c);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::string root = it->second;
    std::string cur = root;
    for (size_t i = 0; i < comps.size(); ++i) {
        std::string found;
        if (!FindEntry(cur, comps[i], found))
            return i + 1 == comps.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        cur += "/" + found;
        if (i + 1 < comps.size()) {
            struct stat st;
            if (::stat(cur.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return STATUS_OBJECT_PATH_NOT_FOUND;
        }
    }
    // Symbolic links must not lead outside the mapped folder.
    char real[PATH_MAX], realRoot[PATH_MAX];
    if (!::realpath(cur.c_str(), real) || !::realpath(root.c_str(), realRoot)) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::string r(real), rr(realRoot);
    if (r != rr && r.rfind(rr + "/", 0) != 0) return STATUS_ACCESS_DENIED;
    hostPath = r;
    return STATUS_SUCCESS;
}

FileState* FileFromHandle(HANDLE h)
{
    HandleEntry* e = FindHandle(h);
    if (!e || e->kind != HandleKind::File) return nullptr;
    return static_cast<FileState*>(e->object);
}

}  // namespace

extern "C" {

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER, ULONG, ULONG, ULONG CreateDisposition,
                      ULONG CreateOptions, PVOID, ULONG)
{
    auto [k, lock] = LockKernel();
    ThreadState* t = Current();
    if (t && t->irql != PASSIVE_LEVEL) Violation(lock, "ZwCreateFile above PASSIVE_LEVEL");
    if (!FileHandle || !ObjectAttributes || !IoStatusBlock) return STATUS_INVALID_PARAMETER;
    *FileHandle = nullptr;
    auto finish = [&](NTSTATUS st, ULONG_PTR info) {
        IoStatusBlock->Status = st;
        IoStatusBlock->Information = info;
        return st;
    };
    if (ObjectAttributes->RootDirectory) return finish(STATUS_OBJECT_PATH_SYNTAX_BAD, 0);
    std::string nt = FromUnicodeString(ObjectAttributes->ObjectName);
    std::string key = Lower(nt);
    NTSTATUS st = STATUS_SUCCESS;
    k.fileAttempts["open\n" + key]++;
    if (TakeFailure(k.fileOpenFail, key, st)) return finish(st, 0);
    const ACCESS_MASK writeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                    DELETE | GENERIC_WRITE | GENERIC_ALL;
    std::string hostPath;
    st = Resolve(nt, hostPath);
    if (st == STATUS_OBJECT_NAME_NOT_FOUND &&
        (CreateDisposition == FILE_CREATE || CreateDisposition == FILE_OPEN_IF ||
         CreateDisposition == FILE_OVERWRITE_IF || CreateDisposition == FILE_SUPERSEDE))
        return finish(STATUS_ACCESS_DENIED, 0);  // read-only: nothing is created
    if (!NT_SUCCESS(st)) return finish(st, 0);
    if (CreateDisposition == FILE_CREATE) return finish(STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS);
    if (DesiredAccess & writeRights || CreateDisposition == FILE_OVERWRITE ||
        CreateDisposition == FILE_OVERWRITE_IF || CreateDisposition == FILE_SUPERSEDE)
        return finish(STATUS_ACCESS_DENIED, 0);
    struct stat sb;
    if (::stat(hostPath.c_str(), &sb) != 0) return finish(STATUS_OBJECT_NAME_NOT_FOUND, 0);
    bool dir = S_ISDIR(sb.st_mode);
    if (dir && (CreateOptions & FILE_NON_DIRECTORY_FILE)) return finish(STATUS_FILE_IS_A_DIRECTORY, 0);
    if (!dir && (CreateOptions & FILE_DIRECTORY_FILE)) return finish(STATUS_NOT_A_DIRECTORY, 0);
    auto f = std::make_shared<FileState>();
    f->ntName = nt;
    f->key = key;
    f->directory = dir;
    f->synchronous = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    if (!dir) {
        f->fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (f->fd < 0) return finish(errno == EACCES ? STATUS_ACCESS_DENIED : STATUS_OBJECT_NAME_NOT_FOUND, 0);
    }
    k.openCounts[key]++;
    *FileHandle = NewHandle(lock, HandleKind::File, f.get(), DesiredAccess, f);
    return finish(STATUS_SUCCESS, FILE_OPENED);
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions)
{
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess,
                        FILE_OPEN, OpenOptions, nullptr, 0);
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                    PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG)
{
    auto [k, lock] = LockKernel();
    FileState* f = FileFromHandle(FileHandle);
    if (!f) return STATUS_INVALID_HANDLE;
    if (!IoStatusBlock || (!Buffer && Length)) return STATUS_INVALID_PARAMETER;
    if (Event || ApcRoutine) Violation(lock, "ZwReadFile with an event or APC: the hosted file system is synchronous");
    HandleEntry* e = FindHandle(FileHandle);
    if (!(e->access & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED))) return STATUS_ACCESS_DENIED;
    auto finish = [&](NTSTATUS st, ULONG_PTR info) {
        IoStatusBlock->Status = st;
        IoStatusBlock->Information = info;
        return st;
    };
    if (f->directory) return finish(STATUS_INVALID_DEVICE_REQUEST, 0);
    int64_t offset;
    bool usePointer = !ByteOffset || (ByteOffset->HighPart == -1 && ByteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION);
    if (usePointer) {
        if (!f->synchronous) return finish(STATUS_INVALID_PARAMETER, 0);
        offset = f->position;
    } else {
        offset = ByteOffset->QuadPart;
        if (offset < 0) return finish(STATUS_INVALID_PARAMETER, 0);
    }
    NTSTATUS st = STATUS_SUCCESS;
    k.fileAttempts["read\n" + f->key]++;
    if (TakeFailure(k.fileReadFail, f->key, st)) return finish(st, 0);
    ULONG want = Length;
    auto sr = k.shortReads.find(f->key);
    if (sr != k.shortReads.end() && want > sr->second) want = sr->second;
    ssize_t n = want ? ::pread(f->fd, Buffer, want, offset) : 0;
    if (n < 0) return finish(STATUS_UNSUCCESSFUL, 0);
    if (n == 0 && Length > 0) return finish(STATUS_END_OF_FILE, 0);
    if (f->synchronous) f->position = offset + n;
    return finish(STATUS_SUCCESS, ULONG_PTR(n));
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    auto [k, lock] = LockKernel();
    FileState* f = FileFromHandle(FileHandle);
    if (!f) return STATUS_INVALID_HANDLE;
    if (!IoStatusBlock || !FileInformation) return STATUS_INVALID_PARAMETER;
    auto finish = [&](NTSTATUS st, ULONG_PTR info) {
        IoStatusBlock->Status = st;
        IoStatusBlock->Information = info;
        return st;
    };
    k.fileAttempts["query\n" + f->key]++;
    if (NTSTATUS st = STATUS_SUCCESS; TakeFailure(k.fileQueryFail, f->key, st)) return finish(st, 0);
    switch (FileInformationClass) {
    case FileStandardInformation: {
        if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        auto* info = static_cast<FILE_STANDARD_INFORMATION*>(FileInformation);
        std::memset(info, 0, sizeof *info);
        int64_t size = 0;
        if (!f->directory) {
            struct stat sb;
            if (::fstat(f->fd, &sb) == 0) size = sb.st_size;
        }
        info->EndOfFile.QuadPart = size;
        info->AllocationSize.QuadPart = (size + 4095) & ~int64_t(4095);
        info->NumberOfLinks = 1;
        info->DeletePending = FALSE;
        info->Directory = f->directory ? TRUE : FALSE;
        return finish(STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
    }
    case FilePositionInformation: {
        if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        static_cast<FILE_POSITION_INFORMATION*>(FileInformation)->CurrentByteOffset.QuadPart = f->position;
        return finish(STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
    }
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

}  // extern "C"

namespace hosted {

void Files::MapDrive(char drive, const std::string& hostDir)
{
    auto [k, lock] = LockKernel();
    std::string d = hostDir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    k.drives[char(std::toupper((unsigned char)drive))] = d;
}

void Files::UnmapDrive(char drive)
{
    auto [k, lock] = LockKernel();
    k.drives.erase(char(std::toupper((unsigned char)drive)));
}

void Files::FailOpen(const std::string& ntName, NTSTATUS status, uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.fileOpenFail[Lower(ntName)].push_back(FailRule{nth, status});
}

void Files::ShortReads(const std::string& ntName, uint32_t maxBytes)
{
    auto [k, lock] = LockKernel();
    k.shortReads[Lower(ntName)] = maxBytes;
}

void Files::FailRead(const std::string& ntName, NTSTATUS status, uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.fileReadFail[Lower(ntName)].push_back(FailRule{nth, status});
}

void Files::FailQuery(const std::string& ntName, NTSTATUS status, uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.fileQueryFail[Lower(ntName)].push_back(FailRule{nth, status});
}

uint64_t Files::Attempts(FileOp op, const std::string& ntName)
{
    auto [k, lock] = LockKernel();
    static const char* const names[] = {"open\n", "query\n", "read\n"};
    auto it = k.fileAttempts.find(names[int(op)] + Lower(ntName));
    return it == k.fileAttempts.end() ? 0 : it->second;
}

void Files::ClearFailures()
{
    auto [k, lock] = LockKernel();
    k.fileOpenFail.clear();
    k.fileReadFail.clear();
    k.fileQueryFail.clear();
    k.shortReads.clear();
}

size_t Files::OpenHandles()
{
    auto [k, lock] = LockKernel();
    return CountHandles(HandleKind::File);
}

uint64_t Files::OpenCount(const std::string& ntName)
{
    auto [k, lock] = LockKernel();
    auto it = k.openCounts.find(Lower(ntName));
    return it == k.openCounts.end() ? 0 : it->second;
}

}  // namespace hosted
