// rtl.cpp - the run-time library's counted-string helpers, with the
// Windows semantics drivers rely on: lengths in bytes, no terminator counted,
// a terminator added only when there is room for it. The helpers that
// return a status can be made to fail through the fault plan.
#include <cstring>

#include "sim/kernel/internal.h"

namespace {

size_t WideLength(PCWSTR text) {
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

char16_t Upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

void TerminateIfRoom(PUNICODE_STRING s) {
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

}  // namespace

namespace sim {

std::string Narrow(const UNICODE_STRING& text) {
    std::string out;
    if (!text.Buffer) return out;
    for (USHORT i = 0; i < text.Length / sizeof(WCHAR); ++i) {
        char16_t c = text.Buffer[i];
        out += c < 128 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string Narrow(const char16_t* text) {
    std::string out;
    if (!text) return out;
    for (; *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
    return out;
}

std::u16string Widen(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text) out += static_cast<char16_t>(c);
    return out;
}

}  // namespace sim

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    if (!source) {
        destination->Length = destination->MaximumLength = 0;
        destination->Buffer = nullptr;
        return;
    }
    size_t bytes = WideLength(source) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    destination->Buffer = const_cast<PWSTR>(source);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
    if (auto status = sim::FaultFor("RtlIntegerToUnicodeString")) return *status;
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    char digits[40];
    int n = 0;
    do {
        ULONG d = value % base;
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        value /= base;
    } while (value);
    size_t bytes = static_cast<size_t>(n) * sizeof(WCHAR);
    if (bytes > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) string->Buffer[i] = static_cast<char16_t>(digits[n - 1 - i]);
    string->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(string);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    if (auto status = sim::FaultFor("RtlAppendUnicodeStringToString")) return *status;
    if (!source || source->Length == 0) return STATUS_SUCCESS;
    if (destination->Length + source->Length > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length,
                 source->Buffer, source->Length);
    destination->Length = static_cast<USHORT>(destination->Length + source->Length);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
    if (auto status = sim::FaultFor("RtlAppendUnicodeToString")) return *status;
    if (!source) return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, source);
    return RtlAppendUnicodeStringToString(destination, &s);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    if (!source || !source->Buffer) {
        destination->Length = 0;
        return;
    }
    USHORT bytes = source->Length < destination->MaximumLength ? source->Length
                                                               : destination->MaximumLength;
    std::memmove(destination->Buffer, source->Buffer, bytes);
    destination->Length = bytes;
    TerminateIfRoom(destination);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
    size_t na = a->Length / sizeof(WCHAR), nb = b->Length / sizeof(WCHAR);
    for (size_t i = 0; i < na && i < nb; ++i) {
        char16_t x = a->Buffer[i], y = b->Buffer[i];
        if (caseInsensitive) {
            x = Upcase(x);
            y = Upcase(y);
        }
        if (x != y) return static_cast<LONG>(x) - static_cast<LONG>(y);
    }
    return static_cast<LONG>(na) - static_cast<LONG>(nb);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
    return a->Length == b->Length && RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING string) {
    if (string->Buffer) ExFreePool(string->Buffer);
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

SIZE_T RtlCompareMemory(const VOID* a, const VOID* b, SIZE_T length) {
    auto* x = static_cast<const unsigned char*>(a);
    auto* y = static_cast<const unsigned char*>(b);
    SIZE_T i = 0;
    while (i < length && x[i] == y[i]) ++i;
    return i;
}

}  // extern "C"
