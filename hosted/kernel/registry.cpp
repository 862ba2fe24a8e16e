// The in-memory registry: keys under \Registry, typed values, handles.
#include <algorithm>
#include <cstring>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {

struct RegValue {
    std::string name;  // as given (UTF-8)
    ULONG type;
    std::vector<uint8_t> data;
};

struct RegKey {
    std::string name;
    std::string path;  // full path as created
    std::map<std::string, std::shared_ptr<RegKey>> subkeys;  // lower-case name
    std::vector<RegValue> values;
    bool deleted = false;
    RegValue* Find(const std::string& n)
    {
        std::string l = Lower(n);
        for (auto& v : values)
            if (Lower(v.name) == l) return &v;
        return nullptr;
    }
};

void ResetRegistry()
{
    Kernel& k = K();
    k.registryRoot = std::make_shared<RegKey>();
    k.registryRoot->name = "Registry";
    k.registryRoot->path = "\\Registry";
}

std::string DescribeKeyHandle(void* object) { return static_cast<RegKey*>(object)->path; }

}  // namespace hosted::detail

namespace {

// Splits "\Registry\A\B" into {"A","B"} below the root. Returns false for a
// path outside \Registry or with an empty component.
bool SplitPath(const std::string& path, std::vector<std::string>& parts, NTSTATUS& status)
{
    parts.clear();
    if (path.empty() || path[0] != '\\') {
        status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return false;
    }
    size_t start = 1;
    std::vector<std::string> all;
    for (;;) {
        size_t end = path.find('\\', start);
        std::string comp = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (comp.empty()) {
            status = STATUS_OBJECT_NAME_INVALID;
            return false;
        }
        all.push_back(comp);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (Lower(all[0]) != "registry") {
        status = STATUS_OBJECT_PATH_NOT_FOUND;
        return false;
    }
    parts.assign(all.begin() + 1, all.end());
    return true;
}

bool SplitRelative(const std::string& rel, std::vector<std::string>& parts, NTSTATUS& status)
{
    parts.clear();
    if (rel.empty()) return true;
    if (rel[0] == '\\') {
        status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t end = rel.find('\\', start);
        std::string comp = rel.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (comp.empty()) {
            status = STATUS_OBJECT_NAME_INVALID;
            return false;
        }
        parts.push_back(comp);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

std::shared_ptr<RegKey> Walk(std::shared_ptr<RegKey> from, const std::vector<std::string>& parts, bool create)
{
    auto cur = from;
    for (auto& p : parts) {
        auto it = cur->subkeys.find(Lower(p));
        if (it == cur->subkeys.end()) {
            if (!create) return nullptr;
            auto key = std::make_shared<RegKey>();
            key->name = p;
            key->path = cur->path + "\\" + p;
            it = cur->subkeys.emplace(Lower(p), key).first;
        }
        cur = it->second;
    }
    return cur;
}

std::shared_ptr<RegKey> KeyAt(const std::string& path, bool create)
{
    std::vector<std::string> parts;
    NTSTATUS st = STATUS_SUCCESS;
    if (!SplitPath(path, parts, st)) return nullptr;
    return Walk(K().registryRoot, parts, create);
}

std::string ValueKey(const std::string& path, const std::string& name) { return Lower(path) + "\n" + Lower(name); }

// Opens or creates a key for ZwOpenKey/ZwCreateKey.
NTSTATUS OpenKey(PHANDLE KeyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES oa, bool create, PULONG disposition)
{
    auto [k, lock] = LockKernel();
    if (!KeyHandle || !oa) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    std::shared_ptr<RegKey> base;
    std::vector<std::string> parts;
    NTSTATUS st = STATUS_SUCCESS;
    std::string name = FromUnicodeString(oa->ObjectName);
    if (oa->RootDirectory) {
        HandleEntry* e = FindHandle(oa->RootDirectory);
        if (!e || e->kind != HandleKind::Key) return STATUS_INVALID_HANDLE;
        base = std::static_pointer_cast<RegKey>(e->holder);
        if (!SplitRelative(name, parts, st)) return st;
    } else {
        if (!SplitPath(name, parts, st)) return st;
        base = k.registryRoot;
    }
    auto key = Walk(base, parts, false);
    std::string fullPath = key ? key->path : base->path;
    if (!key) {
        for (auto& p : parts) fullPath += "\\" + p;
    }
    k.regAttempts["open\n" + Lower(fullPath)]++;
    if (TakeFailure(k.regOpenFail, Lower(fullPath), st)) return st;
    bool existed = key != nullptr;
    if (!key) {
        if (!create) return STATUS_OBJECT_NAME_NOT_FOUND;
        // ZwCreateKey creates only the last component.
        std::vector<std::string> parent(parts.begin(), parts.end() - (parts.empty() ? 0 : 1));
        if (!Walk(base, parent, false)) return STATUS_OBJECT_NAME_NOT_FOUND;
        key = Walk(base, parts, true);
    }
    if (disposition) *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    ACCESS_MASK granted = access;
    if (access & GENERIC_READ) granted |= KEY_READ;
    if (access & GENERIC_WRITE) granted |= KEY_WRITE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
    *KeyHandle = NewHandle(lock, HandleKind::Key, key.get(), granted, key);
    return STATUS_SUCCESS;
}

RegKey* KeyFromHandle(HANDLE h, ACCESS_MASK need, NTSTATUS& st)
{
    HandleEntry* e = FindHandle(h);
    if (!e || e->kind != HandleKind::Key) {
        st = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    auto* key = static_cast<RegKey*>(e->object);
    if (key->deleted) {
        st = STATUS_KEY_DELETED;
        return nullptr;
    }
    if ((e->access & need) != need) {
        st = STATUS_ACCESS_DENIED;
        return nullptr;
    }
    return key;
}

}  // namespace

namespace hosted::detail {

// Used by IoOpenDeviceRegistryKey: opens (creating if needed) a key by path.
NTSTATUS OpenKeyByPath(Lock& lock, const std::string& path, ACCESS_MASK access, PHANDLE handle)
{
    Kernel& k = K();
    NTSTATUS st = STATUS_SUCCESS;
    k.regAttempts["open\n" + Lower(path)]++;
    if (TakeFailure(k.regOpenFail, Lower(path), st)) return st;
    auto key = KeyAt(path, true);
    if (!key) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    ACCESS_MASK granted = access;
    if (access & GENERIC_READ) granted |= KEY_READ;
    if (access & GENERIC_WRITE) granted |= KEY_WRITE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
    *handle = NewHandle(lock, HandleKind::Key, key.get(), granted, key);
    return STATUS_SUCCESS;
}

}  // namespace hosted::detail

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    return OpenKey(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG,
                     PUNICODE_STRING, ULONG, PULONG Disposition)
{
    return OpenKey(KeyHandle, DesiredAccess, ObjectAttributes, true, Disposition);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    auto [k, lock] = LockKernel();
    NTSTATUS st = STATUS_SUCCESS;
    RegKey* key = KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, st);
    if (!key) return st;
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    std::string name = FromUnicodeString(ValueName);
    k.regAttempts["query\n" + ValueKey(key->path, name)]++;
    if (TakeFailure(k.regQueryFail, ValueKey(key->path, name), st)) return st;
    RegValue* v = key->Find(name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto* out = static_cast<uint8_t*>(KeyValueInformation);
    ULONG dataLen = ULONG(v->data.size());
    std::u16string wname = Utf8ToUtf16(v->name);
    ULONG nameBytes = ULONG(wname.size() * 2);
    ULONG minimum, required, dataOffset = 0;
    switch (KeyValueInformationClass) {
    case KeyValuePartialInformation:
        minimum = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        required = minimum + dataLen;
        break;
    case KeyValueBasicInformation:
        minimum = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        required = minimum + nameBytes;
        break;
    case KeyValueFullInformation:
        minimum = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        dataOffset = (minimum + nameBytes + 3) & ~3U;
        required = dataOffset + dataLen;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = required;
    if (Length < minimum) return STATUS_BUFFER_TOO_SMALL;
    if (!out) return STATUS_INVALID_PARAMETER;
    NTSTATUS result = Length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    ULONG room = Length - minimum;
    switch (KeyValueInformationClass) {
    case KeyValuePartialInformation: {
        auto* p = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(out);
        p->TitleIndex = 0;
        p->Type = v->type;
        p->DataLength = dataLen;
        if (dataLen != 0) std::memcpy(out + minimum, v->data.data(), std::min(room, dataLen));
        break;
    }
    case KeyValueBasicInformation: {
        auto* p = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(out);
        p->TitleIndex = 0;
        p->Type = v->type;
        p->NameLength = nameBytes;
        std::memcpy(out + minimum, wname.data(), std::min(room, nameBytes));
        break;
    }
    default: {
        auto* p = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(out);
        p->TitleIndex = 0;
        p->Type = v->type;
        p->DataOffset = dataOffset;
        p->DataLength = dataLen;
        p->NameLength = nameBytes;
        std::memcpy(out + minimum, wname.data(), std::min(room, nameBytes));
        if (Length > dataOffset && dataLen != 0) std::memcpy(out + dataOffset, v->data.data(), std::min(Length - dataOffset, dataLen));
        break;
    }
    }
    return result;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize)
{
    auto [k, lock] = LockKernel();
    NTSTATUS st = STATUS_SUCCESS;
    RegKey* key = KeyFromHandle(KeyHandle, KEY_SET_VALUE, st);
    if (!key) return st;
    if (!Data && DataSize) return STATUS_INVALID_PARAMETER;
    std::string name = FromUnicodeString(ValueName);
    if (TakeFailure(k.regSetFail, ValueKey(key->path, name), st)) return st;
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(Data), static_cast<uint8_t*>(Data) + DataSize);
    if (RegValue* v = key->Find(name)) {
        v->type = Type;
        v->data = std::move(bytes);
    } else {
        key->values.push_back(RegValue{name, Type, std::move(bytes)});
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    auto [k, lock] = LockKernel();
    NTSTATUS st = STATUS_SUCCESS;
    RegKey* key = KeyFromHandle(KeyHandle, KEY_SET_VALUE, st);
    if (!key) return st;
    std::string l = Lower(FromUnicodeString(ValueName));
    auto it = std::find_if(key->values.begin(), key->values.end(), [&](auto& v) { return Lower(v.name) == l; });
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    key->values.erase(it);
    return STATUS_SUCCESS;
}

}  // extern "C"

namespace hosted {

void Registry::CreateKey(const std::string& path)
{
    auto [k, lock] = LockKernel();
    KeyAt(path, true);
}

bool Registry::KeyExists(const std::string& path)
{
    auto [k, lock] = LockKernel();
    return KeyAt(path, false) != nullptr;
}

void Registry::DeleteKey(const std::string& path)
{
    auto [k, lock] = LockKernel();
    std::vector<std::string> parts;
    NTSTATUS st = STATUS_SUCCESS;
    if (!SplitPath(path, parts, st) || parts.empty()) return;
    std::vector<std::string> parent(parts.begin(), parts.end() - 1);
    auto p = Walk(k.registryRoot, parent, false);
    if (!p) return;
    auto it = p->subkeys.find(Lower(parts.back()));
    if (it == p->subkeys.end()) return;
    std::function<void(RegKey&)> mark = [&](RegKey& key) {
        key.deleted = true;
        for (auto& [n, s] : key.subkeys) mark(*s);
    };
    mark(*it->second);
    p->subkeys.erase(it);
}

void Registry::SetValue(const std::string& path, const std::string& name, uint32_t type, std::vector<uint8_t> data)
{
    auto [k, lock] = LockKernel();
    auto key = KeyAt(path, true);
    if (!key) return;
    if (RegValue* v = key->Find(name)) {
        v->type = type;
        v->data = std::move(data);
    } else {
        key->values.push_back(RegValue{name, type, std::move(data)});
    }
}

void Registry::SetDword(const std::string& path, const std::string& name, uint32_t value)
{
    std::vector<uint8_t> d(4);
    std::memcpy(d.data(), &value, 4);
    SetValue(path, name, REG_DWORD, std::move(d));
}

void Registry::SetString(const std::string& path, const std::string& name, const std::u16string& value)
{
    std::vector<uint8_t> d((value.size() + 1) * 2, 0);
    std::memcpy(d.data(), value.data(), value.size() * 2);
    SetValue(path, name, REG_SZ, std::move(d));
}

void Registry::SetString(const std::string& path, const std::string& name, const std::string& value)
{
    SetString(path, name, Utf8ToUtf16(value));
}

void Registry::SetBinary(const std::string& path, const std::string& name, std::vector<uint8_t> data)
{
    SetValue(path, name, REG_BINARY, std::move(data));
}

void Registry::DeleteValue(const std::string& path, const std::string& name)
{
    auto [k, lock] = LockKernel();
    auto key = KeyAt(path, false);
    if (!key) return;
    std::string l = Lower(name);
    key->values.erase(std::remove_if(key->values.begin(), key->values.end(),
                                     [&](auto& v) { return Lower(v.name) == l; }),
                      key->values.end());
}

std::optional<RegistryValue> Registry::GetValue(const std::string& path, const std::string& name)
{
    auto [k, lock] = LockKernel();
    auto key = KeyAt(path, false);
    if (!key) return std::nullopt;
    RegValue* v = key->Find(name);
    if (!v) return std::nullopt;
    return RegistryValue{v->type, v->data};
}

std::optional<uint32_t> Registry::GetDword(const std::string& path, const std::string& name)
{
    auto v = GetValue(path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
    uint32_t r;
    std::memcpy(&r, v->data.data(), 4);
    return r;
}

std::optional<std::string> Registry::GetString(const std::string& path, const std::string& name)
{
    auto v = GetValue(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string s(v->data.size() / 2, u'\0');
    std::memcpy(s.data(), v->data.data(), s.size() * 2);
    while (!s.empty() && s.back() == 0) s.pop_back();
    return Utf16ToUtf8(s.data(), s.size());
}

std::vector<std::string> Registry::ValueNames(const std::string& path)
{
    auto [k, lock] = LockKernel();
    std::vector<std::string> names;
    if (auto key = KeyAt(path, false))
        for (auto& v : key->values) names.push_back(v.name);
    return names;
}

std::vector<std::string> Registry::SubkeyNames(const std::string& path)
{
    auto [k, lock] = LockKernel();
    std::vector<std::string> names;
    if (auto key = KeyAt(path, false))
        for (auto& [l, s] : key->subkeys) names.push_back(s->name);
    return names;
}

uint64_t Registry::OpenAttempts(const std::string& path)
{
    auto [k, lock] = LockKernel();
    auto it = k.regAttempts.find("open\n" + Lower(path));
    return it == k.regAttempts.end() ? 0 : it->second;
}

uint64_t Registry::QueryAttempts(const std::string& path, const std::string& name)
{
    auto [k, lock] = LockKernel();
    auto it = k.regAttempts.find("query\n" + ValueKey(path, name));
    return it == k.regAttempts.end() ? 0 : it->second;
}

void Registry::FailOpen(const std::string& path, NTSTATUS status, uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.regOpenFail[Lower(path)].push_back(FailRule{nth, status});
}

void Registry::FailQuery(const std::string& path, const std::string& name, NTSTATUS status, uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.regQueryFail[ValueKey(path, name)].push_back(FailRule{nth, status});
}

void Registry::FailSet(const std::string& path, const std::string& name, NTSTATUS status, uint64_t nth)
{
    auto [k, lock] = LockKernel();
    k.regSetFail[ValueKey(path, name)].push_back(FailRule{nth, status});
}

void Registry::ClearFailures()
{
    auto [k, lock] = LockKernel();
    k.regOpenFail.clear();
    k.regQueryFail.clear();
    k.regSetFail.clear();
}

size_t Registry::OpenHandles()
{
    auto [k, lock] = LockKernel();
    return CountHandles(HandleKind::Key);
}

std::string ServiceKeyPath(const std::string& serviceName)
{
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
}

}  // namespace hosted
