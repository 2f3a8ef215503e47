// Formatting with the rules of the Windows wvsprintfA: %c %d %i %u %x %X %s and %%, the flags
// '-', '0' and '#', a width, a precision, and the size prefixes 'h' and 'l'; no floating point
// and no '*'. Numbers are 32 bits wide, as on Windows, whatever the size of long.
// Used by the Linux build; the Windows build calls wvsprintfA itself.
#include <cstring>

#include "platform/format_rules.h"

namespace loric::platform {

namespace {

class Output {
public:
    Output(char* buffer, size_t room) : buffer_(buffer), room_(room) {}
    void Put(char c) {
        if (length_ < room_) buffer_[length_++] = c;
    }
    void Put(const char* text, size_t count) {
        for (size_t i = 0; i < count; ++i) Put(text[i]);
    }
    void Pad(char c, int count) {
        for (int i = 0; i < count; ++i) Put(c);
    }
    bool Full() const { return length_ >= room_; }
    size_t Length() const { return length_; }

private:
    char* buffer_;
    size_t room_;
    size_t length_ = 0;
};

int ParseNumber(const char*& p) {
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value < 100000) value = value * 10 + (*p - '0');
        ++p;
    }
    return value;
}

}  // namespace

int FormatRulesV(char* buffer, size_t size, const char* format, va_list args) {
    if (buffer == nullptr || size == 0) return 0;
    Output out(buffer, size - 1);
    if (format == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    va_list ap;
    va_copy(ap, args);
    const char* p = format;
    while (*p != '\0' && !out.Full()) {
        if (*p != '%') {
            out.Put(*p++);
            continue;
        }
        ++p;
        if (*p == '%') {
            out.Put('%');
            ++p;
            continue;
        }
        bool leftAlign = false, zeroPad = false, hexPrefix = false;
        for (;; ++p) {
            if (*p == '-')
                leftAlign = true;
            else if (*p == '0')
                zeroPad = true;
            else if (*p == '#')
                hexPrefix = true;
            else
                break;
        }
        const int width = ParseNumber(p);
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = ParseNumber(p);
        }
        bool isLong = false, isShort = false;
        if (*p == 'l') {
            isLong = true;
            ++p;
        } else if (*p == 'h') {
            isShort = true;
            ++p;
        }
        const char type = *p;
        if (type == '\0') break;
        ++p;

        char digits[40];
        const char* text = nullptr;
        size_t textLength = 0;
        const char* prefix = "";
        bool number = false;
        switch (type) {
        case 'c': {
            digits[0] = static_cast<char>(va_arg(ap, int));
            text = digits;
            textLength = 1;
            break;
        }
        case 's': {
            text = va_arg(ap, const char*);
            if (text == nullptr) text = "(null)";
            textLength =
                precision >= 0 ? strnlen(text, static_cast<size_t>(precision)) : std::strlen(text);
            break;
        }
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X': {
            uint32_t bits = isLong ? static_cast<uint32_t>(va_arg(ap, unsigned long))
                                   : static_cast<uint32_t>(va_arg(ap, unsigned int));
            if (isShort) bits &= 0xFFFF;
            bool negative = false;
            if (type == 'd' || type == 'i') {
                int32_t value = isShort ? static_cast<int16_t>(bits) : static_cast<int32_t>(bits);
                if (value < 0) {
                    negative = true;
                    bits = 0u - static_cast<uint32_t>(value);
                } else {
                    bits = static_cast<uint32_t>(value);
                }
            }
            const unsigned base = (type == 'x' || type == 'X') ? 16 : 10;
            const char* alphabet = type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            char reversed[16];
            int count = 0;
            do {
                reversed[count++] = alphabet[bits % base];
                bits /= base;
            } while (bits != 0);
            int length = 0;
            for (int zeros = precision - count; zeros > 0 && length < 20; --zeros)
                digits[length++] = '0';
            while (count > 0) digits[length++] = reversed[--count];
            text = digits;
            textLength = static_cast<size_t>(length);
            if (negative)
                prefix = "-";
            else if (hexPrefix && base == 16 && !(length == 1 && digits[0] == '0'))
                prefix = type == 'X' ? "0X" : "0x";
            number = true;
            break;
        }
        default:
            // Not a conversion: the character stands for itself.
            digits[0] = type;
            text = digits;
            textLength = 1;
            break;
        }
        const int prefixLength = static_cast<int>(std::strlen(prefix));
        const int padding = width - prefixLength - static_cast<int>(textLength);
        if (leftAlign) {
            out.Put(prefix, static_cast<size_t>(prefixLength));
            out.Put(text, textLength);
            out.Pad(' ', padding);
        } else if (zeroPad && number) {
            out.Put(prefix, static_cast<size_t>(prefixLength));
            out.Pad('0', padding);
            out.Put(text, textLength);
        } else {
            out.Pad(zeroPad ? '0' : ' ', padding);
            out.Put(prefix, static_cast<size_t>(prefixLength));
            out.Put(text, textLength);
        }
    }
    va_end(ap);
    buffer[out.Length()] = '\0';
    return static_cast<int>(out.Length());
}

}  // namespace loric::platform
