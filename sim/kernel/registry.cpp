// registry.cpp - the in-memory registry hive: keys with case-insensitive
// names, typed values, handles, the Zw and Rtl registry routines,
// IoOpenDeviceRegistryKey, and a dump in the REGEDIT4 text format.
//
// Every registry routine runs at PASSIVE_LEVEL and is a scheduling point;
// each can be made to fail through the fault plan under its own name.
#include <algorithm>
#include <cstring>
#include <map>

#include "sim/kernel/internal.h"

namespace sim {

const char* const kDeviceMapPath = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
const char* const kPortsPath =
    "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const char* const kEnumPath = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
const char* const kClassPath = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";

namespace {

std::string Upper(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
}

}  // namespace

// Canonical form: no trailing backslash, single separators.
std::string NormalizeRegistryPath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/') c = '\\';
        if (c == '\\' && !out.empty() && out.back() == '\\') continue;
        out += c;
    }
    while (out.size() > 1 && out.back() == '\\') out.pop_back();
    return out;
}

struct Registry::Impl {
    struct Key {
        std::string path;           // as first created (for display)
        std::vector<Value> values;  // in the order written
    };
    std::map<std::string, Key> keys;  // by upper-case path
    struct Handle {
        std::string path;     // upper-case path of the key
        ACCESS_MASK granted;  // specific rights, generic rights mapped
    };
    std::map<uint64_t, Handle> handles;  // by handle number
    uint64_t nextHandle = 1;

    Key* Find(const std::string& path) {
        auto it = keys.find(Upper(NormalizeRegistryPath(path)));
        return it == keys.end() ? nullptr : &it->second;
    }
    Key& Create(const std::string& path) {
        const std::string norm = NormalizeRegistryPath(path);
        const std::string upper = Upper(norm);
        auto [it, added] = keys.try_emplace(upper);
        if (!added) return it->second;
        it->second.path = norm;
        // Parents exist whenever a child does: create the missing ones,
        // nearest first, up to the first that exists.
        for (size_t pos = norm.rfind('\\'); pos != std::string::npos && pos > 0;
             pos = norm.rfind('\\', pos - 1)) {
            auto [parent, made] = keys.try_emplace(upper.substr(0, pos));
            if (!made) break;
            parent->second.path = norm.substr(0, pos);
        }
        return it->second;
    }
    HANDLE NewHandle(const std::string& path, ACCESS_MASK desired) {
        uint64_t number = nextHandle++;
        handles[number] = Handle{Upper(NormalizeRegistryPath(path)), MapKeyAccess(desired)};
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x80000000u + number * 4));
    }
    Handle* HandleOf(HANDLE handle) {
        uintptr_t raw = reinterpret_cast<uintptr_t>(handle);
        if (raw < 0x80000000u) return nullptr;
        auto it = handles.find((raw - 0x80000000u) / 4);
        return it == handles.end() ? nullptr : &it->second;
    }
    Key* FromHandle(HANDLE handle) {
        Handle* open = HandleOf(handle);
        if (!open) return nullptr;
        auto key = keys.find(open->path);
        return key == keys.end() ? nullptr : &key->second;
    }

    // The rights a key handle holds for a desired access: generic rights
    // mapped as the key object type maps them; MAXIMUM_ALLOWED gives all.
    static ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
        constexpr ACCESS_MASK kGenericRead = 0x80000000u, kGenericWrite = 0x40000000u,
                              kGenericExecute = 0x20000000u, kGenericAll = 0x10000000u,
                              kMaximumAllowed = 0x02000000u;
        ACCESS_MASK granted = desired & 0x01FFFFFFu & ~kMaximumAllowed;
        if (desired & (kGenericRead | kGenericExecute)) granted |= KEY_READ;
        if (desired & kGenericWrite) granted |= KEY_WRITE;
        if (desired & (kGenericAll | kMaximumAllowed)) granted |= KEY_ALL_ACCESS;
        return granted;
    }
};

Registry::Registry() : impl_(std::make_unique<Impl>()) {
    impl_->Create(std::string(kDeviceMapPath) + "\\SERIALCOMM");
    impl_->Create(kPortsPath);
    impl_->Create(kEnumPath);
    impl_->Create(kClassPath);
}
Registry::~Registry() = default;

std::string Registry::Value::AsString() const {
    std::string out;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) break;
        out += c < 128 ? static_cast<char>(c) : '?';
    }
    return out;
}

void Registry::CreateKey(const std::string& path) { impl_->Create(path); }

size_t Registry::OpenHandleCount() const { return impl_->handles.size(); }

bool Registry::KeyExists(const std::string& path) const { return impl_->Find(path) != nullptr; }

void Registry::SetValue(const std::string& path, const std::string& name, ULONG type,
                        std::vector<uint8_t> data) {
    Impl::Key& key = impl_->Create(path);
    for (auto& v : key.values) {
        if (Upper(v.name) == Upper(name)) {
            v.type = type;
            v.data = std::move(data);
            return;
        }
    }
    key.values.push_back(Value{name, type, std::move(data)});
}

std::vector<uint8_t> Registry::WideStringData(const std::string& text) {
    std::vector<uint8_t> data;
    for (unsigned char c : text) {
        data.push_back(c);
        data.push_back(0);
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

void Registry::SetString(const std::string& path, const std::string& name,
                         const std::string& text) {
    SetValue(path, name, REG_SZ, WideStringData(text));
}

std::optional<Registry::Value> Registry::GetValue(const std::string& path,
                                                  const std::string& name) const {
    Impl::Key* key = impl_->Find(path);
    if (!key) return std::nullopt;
    for (auto& v : key->values)
        if (Upper(v.name) == Upper(name)) return v;
    return std::nullopt;
}

bool Registry::DeleteValue(const std::string& path, const std::string& name) {
    Impl::Key* key = impl_->Find(path);
    if (!key) return false;
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (Upper(it->name) == Upper(name)) {
            key->values.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<Registry::Value> Registry::Values(const std::string& path) const {
    Impl::Key* key = impl_->Find(path);
    return key ? key->values : std::vector<Value>{};
}

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string HexBytes(const std::vector<uint8_t>& data) {
    std::string out;
    char buffer[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", data[i]);
        if (i) out += ',';
        out += buffer;
    }
    return out;
}

// A REG_SZ that is well-formed UTF-16 text of printable ASCII with one
// terminator at the end dumps as a string; anything else as hex(1).
bool PlainString(const std::vector<uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2) return false;
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        if (data[i + 1] != 0 || data[i] < 32 || data[i] > 126) return false;
    }
    return data[data.size() - 2] == 0 && data[data.size() - 1] == 0;
}

}  // namespace

std::string Registry::Dump(const std::string& prefix) const {
    std::string want = Upper(NormalizeRegistryPath(prefix));
    std::string out = "REGEDIT4\n";
    for (auto& [upper, key] : impl_->keys) {
        if (!want.empty() && upper != want && upper.rfind(want + "\\", 0) != 0) continue;
        std::string display = key.path;
        const std::string machine = "\\Registry\\Machine";
        if (Upper(display).rfind(Upper(machine), 0) == 0)
            display = "HKEY_LOCAL_MACHINE" + display.substr(machine.size());
        out += "\n[" + display + "]\n";
        for (auto& v : key.values) {
            std::string name = v.name.empty() ? "@" : "\"" + Escape(v.name) + "\"";
            if (v.type == REG_SZ && PlainString(v.data)) {
                out += name + "=\"" + Escape(v.AsString()) + "\"\n";
            } else if (v.type == REG_DWORD && v.data.size() == 4) {
                char buffer[16];
                uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                             (static_cast<uint32_t>(v.data[3]) << 24);
                std::snprintf(buffer, sizeof buffer, "%08x", d);
                out += name + "=dword:" + buffer + "\n";
            } else if (v.type == REG_BINARY) {
                out += name + "=hex:" + HexBytes(v.data) + "\n";
            } else {
                out += name + "=hex(" + std::to_string(v.type) + "):" + HexBytes(v.data) + "\n";
            }
        }
    }
    return out;
}

// ---------------------------------------------------------------- device keys

std::string KeyPathForDevice(PDEVICE_OBJECT pdo, ULONG type) {
    DeviceRecord* record = RecordOf(pdo);
    if (!record || !record->isPdo) return "";
    if (type == PLUGPLAY_REGKEY_DEVICE)
        return std::string(kEnumPath) + "\\" + record->instanceId + "\\Device Parameters";
    if (type == PLUGPLAY_REGKEY_DRIVER) return record->classKey;
    return "";
}

}  // namespace sim

using namespace sim;

namespace {

Registry::Impl& Reg() { return *Simulation::Current().registry().impl_; }

// The key a handle names, after checking that the handle was opened with
// the right the routine needs. The kernel on Windows lets a kernel-mode
// caller's handle through unchecked; the documented contract still asks
// for the right, other kernels enforce it, so a use without it stops the run.
Registry::Impl::Key* KeyFor(HANDLE keyHandle, ACCESS_MASK needed, const char* right,
                            const char* routine) {
    Registry::Impl::Handle* open = Reg().HandleOf(keyHandle);
    if (!open) return nullptr;
    if ((open->granted & needed) != needed) {
        char granted[16];
        std::snprintf(granted, sizeof granted, "0x%X", static_cast<unsigned>(open->granted));
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "registry-access-denied",
                 std::string(routine) + " on a handle to " + Reg().keys[open->path].path +
                     " opened with access " + granted + ", which does not grant " + right);
    }
    return Reg().FromHandle(keyHandle);
}

std::string PathOf(PCWSTR text) { return Narrow(text); }

// The registry path an Rtl routine's RelativeTo and Path name.
std::string RtlPath(ULONG relativeTo, PCWSTR path) {
    std::string p = PathOf(path);
    switch (relativeTo & 0xFFFF) {
        case RTL_REGISTRY_ABSOLUTE: return p;
        case RTL_REGISTRY_SERVICES:
            return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + p;
        case RTL_REGISTRY_CONTROL:
            return "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\" + p;
        case RTL_REGISTRY_WINDOWS_NT:
            return "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\" + p;
        case RTL_REGISTRY_DEVICEMAP: return std::string(kDeviceMapPath) + "\\" + p;
        default: return "";
    }
}

NTSTATUS RegistryEntry(const char* routine) {
    KernelPoint(routine);
    VerifyIrqlAtMost(PASSIVE_LEVEL, routine);
    if (auto status = FaultFor(routine)) return *status;
    return STATUS_SUCCESS;
}

std::string ValueNameOf(PUNICODE_STRING name) { return name ? Narrow(*name) : std::string(); }

// The key path that object attributes name, relative to their root key.
NTSTATUS KeyPathOf(POBJECT_ATTRIBUTES attributes, std::string* path) {
    if (!attributes || !attributes->ObjectName) return STATUS_INVALID_PARAMETER;
    *path = Narrow(*attributes->ObjectName);
    if (attributes->RootDirectory) {
        Registry::Impl::Key* root = Reg().FromHandle(attributes->RootDirectory);
        if (!root) return STATUS_INVALID_HANDLE;
        *path = root->path + "\\" + *path;
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                   POBJECT_ATTRIBUTES objectAttributes) {
    NTSTATUS status = RegistryEntry("ZwOpenKey");
    if (!NT_SUCCESS(status)) return status;
    std::string path;
    status = KeyPathOf(objectAttributes, &path);
    if (!NT_SUCCESS(status)) return status;
    Registry::Impl::Key* key = Reg().Find(path);
    SIM_TRACE("REG", "open " + path + (key ? "" : ": not found"));
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    *keyHandle = Reg().NewHandle(key->path, desiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                     POBJECT_ATTRIBUTES objectAttributes, ULONG,
                     PUNICODE_STRING, ULONG, PULONG disposition) {
    NTSTATUS status = RegistryEntry("ZwCreateKey");
    if (!NT_SUCCESS(status)) return status;
    std::string path;
    status = KeyPathOf(objectAttributes, &path);
    if (!NT_SUCCESS(status)) return status;
    bool existed = Reg().Find(path) != nullptr;
    Registry::Impl::Key& key = Reg().Create(path);
    if (disposition) *disposition = existed ? 2 : 1;  // REG_OPENED_EXISTING_KEY / REG_CREATED_NEW_KEY
    *keyHandle = Reg().NewHandle(key.path, desiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                         PVOID keyValueInformation, ULONG length, PULONG resultLength) {
    NTSTATUS status = RegistryEntry("ZwQueryValueKey");
    if (!NT_SUCCESS(status)) return status;
    Registry::Impl::Key* key =
        KeyFor(keyHandle, KEY_QUERY_VALUE, "KEY_QUERY_VALUE", "ZwQueryValueKey");
    if (!key) return STATUS_INVALID_HANDLE;
    if (keyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    std::string name = ValueNameOf(valueName);
    const Registry::Value* value = nullptr;
    for (auto& v : key->values)
        if (Upper(v.name) == Upper(name)) value = &v;
    if (!value) {
        SIM_TRACE("REG", "query " + key->path + " \"" + name + "\": not found");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG needed = header + static_cast<ULONG>(value->data.size());
    if (resultLength) *resultLength = needed;
    SIM_TRACE("REG", "query " + key->path + " \"" + name + "\" (" +
                         std::to_string(value->data.size()) + " bytes)");
    if (length < header) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(keyValueInformation);
    info->TitleIndex = 0;
    info->Type = value->type;
    info->DataLength = static_cast<ULONG>(value->data.size());
    ULONG room = length - header;
    ULONG copy = std::min<ULONG>(room, static_cast<ULONG>(value->data.size()));
    if (copy) std::memcpy(info->Data, value->data.data(), copy);
    return copy < value->data.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG, ULONG type,
                       PVOID data, ULONG dataSize) {
    NTSTATUS status = RegistryEntry("ZwSetValueKey");
    if (!NT_SUCCESS(status)) return status;
    Registry::Impl::Key* key = KeyFor(keyHandle, KEY_SET_VALUE, "KEY_SET_VALUE", "ZwSetValueKey");
    if (!key) return STATUS_INVALID_HANDLE;
    std::string name = ValueNameOf(valueName);
    auto* bytes = static_cast<const uint8_t*>(data);
    Simulation::Current().registry().SetValue(key->path, name, type,
                                              std::vector<uint8_t>(bytes, bytes + dataSize));
    SIM_TRACE("REG", "set " + key->path + " \"" + name + "\"");
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName) {
    NTSTATUS status = RegistryEntry("ZwDeleteValueKey");
    if (!NT_SUCCESS(status)) return status;
    Registry::Impl::Key* key =
        KeyFor(keyHandle, KEY_SET_VALUE, "KEY_SET_VALUE", "ZwDeleteValueKey");
    if (!key) return STATUS_INVALID_HANDLE;
    return Simulation::Current().registry().DeleteValue(key->path, ValueNameOf(valueName))
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwClose(HANDLE handle) {
    KernelPoint("ZwClose");
    VerifyIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    uintptr_t raw = reinterpret_cast<uintptr_t>(handle);
    if (raw < 0x80000000u) return STATUS_INVALID_HANDLE;
    return Reg().handles.erase((raw - 0x80000000u) / 4) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                               PVOID valueData, ULONG valueLength) {
    NTSTATUS status = RegistryEntry("RtlWriteRegistryValue");
    if (!NT_SUCCESS(status)) return status;
    std::string keyPath = RtlPath(relativeTo, path);
    if (keyPath.empty()) return STATUS_INVALID_PARAMETER;
    auto* bytes = static_cast<const uint8_t*>(valueData);
    std::string name = PathOf(valueName);
    Simulation::Current().registry().SetValue(keyPath, name, valueType,
                                              std::vector<uint8_t>(bytes, bytes + valueLength));
    SIM_TRACE("REG", "write " + keyPath + " \"" + name + "\"");
    return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName) {
    NTSTATUS status = RegistryEntry("RtlDeleteRegistryValue");
    if (!NT_SUCCESS(status)) return status;
    std::string keyPath = RtlPath(relativeTo, path);
    std::string name = PathOf(valueName);
    if (!Simulation::Current().registry().KeyExists(keyPath)) return STATUS_OBJECT_NAME_NOT_FOUND;
    bool deleted = Simulation::Current().registry().DeleteValue(keyPath, name);
    SIM_TRACE("REG", "delete " + keyPath + " \"" + name + "\"" + (deleted ? "" : ": not found"));
    return deleted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType,
                                 ACCESS_MASK desiredAccess, PHANDLE devInstRegKey) {
    NTSTATUS status = RegistryEntry("IoOpenDeviceRegistryKey");
    if (!NT_SUCCESS(status)) return status;
    std::string path = KeyPathForDevice(deviceObject, devInstKeyType);
    if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    Registry::Impl::Key& key = Reg().Create(path);
    *devInstRegKey = Reg().NewHandle(key.path, desiredAccess);
    SIM_TRACE("REG", "open device key " + key.path);
    return STATUS_SUCCESS;
}

}  // extern "C"
