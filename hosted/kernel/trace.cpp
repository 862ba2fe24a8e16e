// DbgPrint with the kernel's conversions, RtlAssert, and the trace sink.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace hosted::detail {

namespace {

void AppendPadded(std::string& out, const std::string& body, int width, bool left, char pad = ' ')
{
    int n = int(body.size());
    if (width > n && !left) out.append(size_t(width - n), pad);
    out += body;
    if (width > n && left) out.append(size_t(width - n), ' ');
}

std::string Utf16Bytes(const uint16_t* s, long count)  // count < 0: up to the NUL
{
    std::u16string tmp;
    for (long i = 0; count < 0 ? s[i] != 0 : i < count; ++i) tmp.push_back(char16_t(s[i]));
    return Utf16ToUtf8(tmp.data(), tmp.size());
}

}  // namespace

// Formats like the kernel's DbgPrint: 'l' is 32 bits (LONG), 'll'/'I64' 64
// bits, 'I' pointer size, 'h' 16 bits; %p prints 16 upper-case hex digits;
// %s narrow, %S/%ws/%ls wide (UTF-16, converted to UTF-8), %wZ a
// UNICODE_STRING, %Z an ANSI_STRING; NULL strings print "(null)".
std::string FormatKernel(const char* f, KernelVaList ap)
{
    std::string out;
    for (const char* p = f; *p; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        ++p;
        if (*p == '%') {
            out.push_back('%');
            continue;
        }
        bool left = false, plus = false, space = false, alt = false, zero = false;
        for (;; ++p) {
            if (*p == '-') left = true;
            else if (*p == '+') plus = true;
            else if (*p == ' ') space = true;
            else if (*p == '#') alt = true;
            else if (*p == '0') zero = true;
            else break;
        }
        int width = 0;
        if (*p == '*') {
            width = va_arg(ap, int);
            if (width < 0) {
                left = true;
                width = -width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(ap, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
            }
        }
        enum { kDefault, kShort, kChar, kLong, kLongLong, kPtr, kWide } size = kDefault;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = kLongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            size = kLong;
            p += 3;
        } else if (p[0] == 'I') {
            size = kPtr;
            p += 1;
        } else if (p[0] == 'l' && p[1] == 'l') {
            size = kLongLong;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            size = kChar;
            p += 2;
        } else if (p[0] == 'l') {
            size = kLong;
            p += 1;
        } else if (p[0] == 'h') {
            size = kShort;
            p += 1;
        } else if (p[0] == 'w') {
            size = kWide;
            p += 1;
        } else if (p[0] == 'z' || p[0] == 'j' || p[0] == 't') {
            size = kPtr;
            p += 1;
        }
        char conv = *p;
        if (!conv) break;
        switch (conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            bool isSigned = conv == 'd' || conv == 'i';
            uint64_t v;
            bool neg = false;
            if (size == kLongLong || size == kPtr) {
                int64_t s = va_arg(ap, int64_t);
                v = uint64_t(s);
                if (isSigned && s < 0) {
                    neg = true;
                    v = uint64_t(-(s + 1)) + 1;
                }
            } else {
                uint32_t raw = va_arg(ap, uint32_t);
                if (size == kShort) raw &= 0xFFFF;
                if (size == kChar) raw &= 0xFF;
                int32_t s = int32_t(raw);
                if (size == kShort) s = int16_t(raw);
                if (size == kChar) s = int8_t(raw);
                v = raw;
                if (isSigned) {
                    if (s < 0) {
                        neg = true;
                        v = uint64_t(-(int64_t)s);
                    } else {
                        v = uint64_t(s);
                    }
                }
            }
            int base = (conv == 'x' || conv == 'X') ? 16 : conv == 'o' ? 8 : 10;
            const char* digits = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            std::string d;
            do {
                d.insert(d.begin(), digits[v % base]);
                v /= base;
            } while (v);
            if (precision >= 0) {
                if (precision == 0 && d == "0") d.clear();
                while (int(d.size()) < precision) d.insert(d.begin(), '0');
            }
            std::string prefix;
            if (neg) prefix = "-";
            else if (isSigned && plus) prefix = "+";
            else if (isSigned && space) prefix = " ";
            if (alt && base == 16 && d != "0" && !d.empty()) prefix += conv == 'X' ? "0X" : "0x";
            if (alt && base == 8 && (d.empty() || d[0] != '0')) d.insert(d.begin(), '0');
            if (zero && !left && precision < 0) {
                while (int(prefix.size() + d.size()) < width) d.insert(d.begin(), '0');
            }
            AppendPadded(out, prefix + d, width, left);
            break;
        }
        case 'p': {
            void* ptr = va_arg(ap, void*);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%016llX", (unsigned long long)(uintptr_t)ptr);
            AppendPadded(out, buf, width, left);
            break;
        }
        case 'c':
        case 'C': {
            unsigned v = va_arg(ap, unsigned);
            std::string s;
            if ((conv == 'C') != (size == kWide || size == kLong)) {
                uint16_t w = uint16_t(v);
                s = Utf16Bytes(&w, 1);
            } else {
                s.push_back(char(v));
            }
            AppendPadded(out, s, width, left);
            break;
        }
        case 's':
        case 'S': {
            bool wide = (conv == 'S') != (size == kWide || size == kLong);
            void* ptr = va_arg(ap, void*);
            std::string s;
            if (!ptr) {
                s = "(null)";
            } else if (wide) {
                if (precision >= 0) {
                    long n = 0;
                    auto* w = static_cast<const uint16_t*>(ptr);
                    while (n < precision && w[n]) ++n;
                    s = Utf16Bytes(w, n);
                } else {
                    s = Utf16Bytes(static_cast<const uint16_t*>(ptr), -1);
                }
            } else {
                const char* c = static_cast<const char*>(ptr);
                s = precision >= 0 ? std::string(c, strnlen(c, size_t(precision))) : std::string(c);
            }
            if (precision >= 0 && !wide && int(s.size()) > precision) s.resize(size_t(precision));
            AppendPadded(out, s, width, left);
            break;
        }
        case 'Z': {
            void* ptr = va_arg(ap, void*);
            std::string s;
            if (!ptr) {
                s = "(null)";
            } else if (size == kWide) {
                auto* u = static_cast<const UNICODE_STRING*>(ptr);
                s = u->Buffer ? Utf16Bytes(reinterpret_cast<const uint16_t*>(u->Buffer), u->Length / 2) : "(null)";
            } else {
                auto* a = static_cast<const ANSI_STRING*>(ptr);
                s = a->Buffer ? std::string(a->Buffer, a->Length) : "(null)";
            }
            AppendPadded(out, s, width, left);
            break;
        }
        case 'n':
            (void)va_arg(ap, void*);  // never writes
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'g':
        case 'G': {
            double d = va_arg(ap, double);
            std::string spec = "%";
            if (left) spec += '-';
            if (plus) spec += '+';
            if (zero) spec += '0';
            if (width) spec += std::to_string(width);
            if (precision >= 0) spec += "." + std::to_string(precision);
            spec += conv;
            char buf[128];
            std::snprintf(buf, sizeof buf, spec.c_str(), d);
            out += buf;
            break;
        }
        default:
            out.push_back('%');
            out.push_back(conv);
            break;
        }
    }
    return out;
}

void TraceAppend(Lock&, std::string text)
{
    Kernel& k = K();
    ThreadState* t = Current();
    if (k.echo) {
        std::fwrite(text.data(), 1, text.size(), k.echo);
        std::fflush(k.echo);
    }
    if (k.traceFile) {
        std::fwrite(text.data(), 1, text.size(), k.traceFile);
        std::fflush(k.traceFile);
    }
    k.trace.push_back(TraceRecord{k.now, t ? t->name : std::string("(not hosted)"), std::move(text)});
}

// Formats one DbgPrint call with the kernel's conversions into the trace.
ULONG PrintToTrace(PCSTR Format, KernelVaList Args)
{
    std::string text = FormatKernel(Format, Args);
    auto [k, lock] = LockKernel();
    TraceAppend(lock, std::move(text));
    return STATUS_SUCCESS;
}

}  // namespace hosted::detail

extern "C" {

ULONG DbgPrint(PCSTR Format, ...)
{
    __builtin_ms_va_list ap;
    __builtin_ms_va_start(ap, Format);
    ULONG status = hosted::detail::PrintToTrace(Format, ap);
    __builtin_ms_va_end(ap);
    return status;
}

ULONG DbgPrintEx(ULONG, ULONG, PCSTR Format, ...)
{
    __builtin_ms_va_list ap;
    __builtin_ms_va_start(ap, Format);
    ULONG status = hosted::detail::PrintToTrace(Format, ap);
    __builtin_ms_va_end(ap);
    return status;
}

VOID DbgBreakPoint(VOID) { ViolationUnlocked("DbgBreakPoint reached"); }

// Reported like a checked kernel does, then execution goes on.
VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage)
{
    char buf[1024];
    std::snprintf(buf, sizeof buf, "\n*** Assertion failed: %s%s\n***   Source File: %s, line %u\n\n",
                  MutableMessage ? MutableMessage : "", static_cast<const char*>(VoidFailedAssertion),
                  static_cast<const char*>(VoidFileName), LineNumber);
    auto [k, lock] = LockKernel();
    TraceAppend(lock, buf);
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    std::fprintf(stderr, "hosted: KeBugCheckEx(0x%X, 0x%llX, 0x%llX, 0x%llX, 0x%llX)\n", BugCheckCode,
                 (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3, (unsigned long long)P4);
    std::abort();
}

VOID KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

}  // extern "C"

namespace hosted {

std::string Trace::Text()
{
    auto [k, lock] = LockKernel();
    std::string all;
    for (auto& r : k.trace) all += r.text;
    return all;
}

std::vector<TraceRecord> Trace::Records()
{
    auto [k, lock] = LockKernel();
    return k.trace;
}

void Trace::Clear()
{
    auto [k, lock] = LockKernel();
    k.trace.clear();
}

void Trace::EchoTo(std::FILE* stream)
{
    auto [k, lock] = LockKernel();
    k.echo = stream;
}

size_t Trace::CountLine(const std::string& line)
{
    std::string text = Text();
    size_t count = 0, start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            if (start < text.size() && text.compare(start, std::string::npos, line) == 0) ++count;
            break;
        }
        if (text.compare(start, end - start, line) == 0) ++count;
        start = end + 1;
    }
    return count;
}

bool Trace::Contains(const std::string& fragment) { return Text().find(fragment) != std::string::npos; }

}  // namespace hosted
