#include "providers/EvArgFormat.h"

#include <stdio.h>
#include <string.h>

#include "providers/EvRecordLayout.h"

namespace traceapi {
namespace {

// Widths and precisions above this cannot fit a message anyway.
constexpr int kMaxWidth = 1023;
constexpr size_t kMaxFlags = 8;

enum class LengthMod { None, hh, h, l, ll, L, I64, I32, w };

struct Conversion {
    char flags[kMaxFlags + 1] = {};
    int width = -1;
    int precision = -1;
    LengthMod length = LengthMod::None;
    char letter = 0;
    size_t end = 0;  // one past the conversion letter
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads at most four digits; more, or a value above kMaxWidth, is refused.
bool ReadNumber(const char* s, size_t n, size_t* i, int* value) {
    int v = 0;
    size_t digits = 0;
    while (*i < n && IsDigit(s[*i])) {
        if (++digits > 4) return false;
        v = v * 10 + (s[*i] - '0');
        ++*i;
    }
    if (v > kMaxWidth) return false;
    *value = v;
    return true;
}

// Parses the conversion that starts with the '%' at s[k]. Only what the C
// library and the emitting side agree on is a conversion: flags, a width, a
// precision, a length and one of the letters below. '*', %n and %p never
// are.
bool ParseConversion(const char* s, size_t n, size_t k, Conversion* conv) {
    size_t i = k + 1;
    size_t nflags = 0;
    while (i < n && strchr("-+ #0", s[i]) != nullptr && s[i] != '\0') {
        if (nflags == kMaxFlags) return false;
        conv->flags[nflags++] = s[i++];
    }
    if (i < n && IsDigit(s[i]) && !ReadNumber(s, n, &i, &conv->width)) return false;
    if (i < n && s[i] == '.') {
        ++i;
        conv->precision = 0;
        if (!ReadNumber(s, n, &i, &conv->precision)) return false;
    }
    auto starts = [&](const char* prefix) {
        size_t len = strlen(prefix);
        return i + len <= n && memcmp(s + i, prefix, len) == 0;
    };
    if (starts("hh")) {
        conv->length = LengthMod::hh, i += 2;
    } else if (starts("h")) {
        conv->length = LengthMod::h, i += 1;
    } else if (starts("ll")) {
        conv->length = LengthMod::ll, i += 2;
    } else if (starts("l")) {
        conv->length = LengthMod::l, i += 1;
    } else if (starts("L")) {
        conv->length = LengthMod::L, i += 1;
    } else if (starts("I64")) {
        conv->length = LengthMod::I64, i += 3;
    } else if (starts("I32")) {
        conv->length = LengthMod::I32, i += 3;
    } else if (starts("w")) {
        conv->length = LengthMod::w, i += 1;
    }
    if (i >= n || s[i] == '\0' || strchr("diuoxXcCsSeEfFgGaA", s[i]) == nullptr) return false;
    conv->letter = s[i];
    conv->end = i + 1;
    return true;
}

// Appends n bytes, keeping room for the terminator; false when cut.
bool Append(char* out, size_t cap, size_t* len, const char* s, size_t n) {
    size_t room = cap - 1 - *len;
    bool fits = n <= room;
    if (!fits) n = room;
    memcpy(out + *len, s, n);
    *len += n;
    out[*len] = '\0';
    return fits;
}

bool IsIntegerLetter(char c) { return strchr("diuoxX", c) != nullptr; }
bool IsSignedLetter(char c) { return c == 'd' || c == 'i'; }
bool IsFloatLetter(char c) { return strchr("eEfFgGaA", c) != nullptr; }
bool IsCharLetter(char c) { return c == 'c' || c == 'C'; }

// Appends the decimal digits of a checked width or precision (0 to 1023).
char* PutNumber(char* p, int value) {
    char digits[4];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (n > 0) *p++ = digits[--n];
    return p;
}

// Builds "%<flags><width>.<precision><length><letter>" from checked parts
// (at most 1 + 8 + 4 + 5 + 2 + 1 characters and the zero).
void BuildFormat(const Conversion& conv, const char* length, char letter, int precision, char* fmt) {
    char* p = fmt;
    *p++ = '%';
    for (const char* f = conv.flags; *f != '\0'; ++f) *p++ = *f;
    if (conv.width >= 0) p = PutNumber(p, conv.width);
    if (precision >= 0) {
        *p++ = '.';
        p = PutNumber(p, precision);
    }
    while (*length != '\0') *p++ = *length++;
    *p++ = letter;
    *p = '\0';
}

// Formats one value by a checked conversion. When the kind, the size or the
// length modifier do not match, the output goes back to `start`.
PieceResult FormatValue(const Conversion& conv, int kind, const BYTE* value, size_t valueSize, char* out, size_t cap,
                        size_t* len, size_t start) {
    auto mismatch = [&] {
        *len = start;
        out[start] = '\0';
        return PieceResult::kMismatch;
    };
    char fmt[32];
    // The value is formatted straight into the output: the checks are done,
    // only the room can still run out.
    char* text = out + *len;
    const size_t room = cap - *len;
    int n = -1;
    const LengthMod lm = conv.length;
    const char letter = conv.letter;
    switch (kind) {
    case wire::kItemString: {
        if (letter != 's' && letter != 'S') return mismatch();
        if (lm != LengthMod::None && lm != LengthMod::h && lm != LengthMod::l && lm != LengthMod::w) return mismatch();
        // The value need not be terminated within its size: the precision
        // bounds what is read.
        int available = int(strnlen(reinterpret_cast<const char*>(value), valueSize));
        int precision = conv.precision >= 0 && conv.precision < available ? conv.precision : available;
        BuildFormat(conv, "", 's', precision, fmt);
        n = snprintf(text, room, fmt, reinterpret_cast<const char*>(value));
        break;
    }
    case wire::kItemChar: {
        if (valueSize != 1) return mismatch();
        int v = value[0];
        if (IsCharLetter(letter) && (lm == LengthMod::None || lm == LengthMod::h)) {
            BuildFormat(conv, "", 'c', -1, fmt);
        } else if (IsIntegerLetter(letter) && (lm == LengthMod::None || lm == LengthMod::h || lm == LengthMod::hh)) {
            BuildFormat(conv, "", letter, conv.precision, fmt);
        } else {
            return mismatch();
        }
        n = snprintf(text, room, fmt, v);
        break;
    }
    case wire::kItemInt:
    case wire::kItemLong: {
        if (valueSize != 4) return mismatch();
        DWORD raw = ReadU32(value);
        if (IsCharLetter(letter) && (lm == LengthMod::None || lm == LengthMod::h)) {
            BuildFormat(conv, "", 'c', -1, fmt);
            n = snprintf(text, room, fmt, int(raw & 0xFF));
            break;
        }
        if (!IsIntegerLetter(letter)) return mismatch();
        const char* length = "";
        switch (lm) {
        case LengthMod::None:
        case LengthMod::l:
        case LengthMod::I32: break;
        case LengthMod::h: length = "h"; break;
        case LengthMod::hh: length = "hh"; break;
        default: return mismatch();
        }
        BuildFormat(conv, length, letter, conv.precision, fmt);
        if (IsSignedLetter(letter)) {
            n = snprintf(text, room, fmt, int(int32_t(raw)));
        } else {
            n = snprintf(text, room, fmt, unsigned(raw));
        }
        break;
    }
    case wire::kItemLongLong: {
        if (valueSize != 8) return mismatch();
        if (!IsIntegerLetter(letter) || (lm != LengthMod::ll && lm != LengthMod::I64)) return mismatch();
        unsigned long long raw;
        memcpy(&raw, value, sizeof raw);
        BuildFormat(conv, "ll", letter, conv.precision, fmt);
        if (IsSignedLetter(letter)) {
            n = snprintf(text, room, fmt, static_cast<long long>(raw));
        } else {
            n = snprintf(text, room, fmt, raw);
        }
        break;
    }
    case wire::kItemDouble: {
        if (valueSize != 8) return mismatch();
        if (!IsFloatLetter(letter) || (lm != LengthMod::None && lm != LengthMod::l)) return mismatch();
        double v;
        memcpy(&v, value, sizeof v);
        BuildFormat(conv, "", letter, conv.precision, fmt);
        n = snprintf(text, room, fmt, v);
        break;
    }
    default: return mismatch();
    }
    if (n < 0) return mismatch();
    if (size_t(n) >= room) {
        *len = cap - 1;
        return PieceResult::kCut;
    }
    *len += size_t(n);
    return PieceResult::kDone;
}

}  // namespace

PieceResult FormatPiece(const char* piece, size_t pieceLen, int kind, const BYTE* value, size_t valueSize, char* out,
                        size_t cap, size_t* len) {
    const size_t start = *len;
    auto mismatch = [&] {
        *len = start;
        out[start] = '\0';
        return PieceResult::kMismatch;
    };
    size_t i = 0;
    while (i < pieceLen) {
        char c = piece[i];
        if (c == '\0') return mismatch();
        if (c != '%') {
            if (!Append(out, cap, len, &c, 1)) return PieceResult::kCut;
            ++i;
            continue;
        }
        if (i + 1 < pieceLen && piece[i + 1] == '%') {
            if (!Append(out, cap, len, "%", 1)) return PieceResult::kCut;
            i += 2;
            continue;
        }
        Conversion conv;
        if (!ParseConversion(piece, pieceLen, i, &conv)) {
            // A '%' that starts no conversion is text, as the emitting side
            // made no item of it.
            if (!Append(out, cap, len, "%", 1)) return PieceResult::kCut;
            ++i;
            continue;
        }
        if (conv.end == pieceLen) return FormatValue(conv, kind, value, valueSize, out, cap, len, start);
        // A conversion inside the piece lost its item when the event was
        // built (an empty string, or no room left in the block): it takes
        // no value and writes nothing.
        i = conv.end;
    }
    return mismatch();
}

LONG FormatArgumentBlock(const BYTE* block, char* message) {
    using namespace wire;
    const size_t count = block[kBlockItemCountOffset];
    size_t o = kBlockItemsOffset;
    if (count == 0 || block[o] != kItemString) return E_FAIL;

    // Item 0 is the format text with its zero; it cannot reach past the
    // items' area, and what follows its first zero is not format text.
    size_t formatSize = ReadU16(block + o + 1);
    const char* format = reinterpret_cast<const char*>(block + o + 5);
    size_t room = kBlockItemsEnd - (o + 5);
    size_t formatLen = strnlen(format, formatSize < room ? formatSize : room);
    o += 5 + formatSize;

    size_t len = 0;
    size_t p = 0;
    for (size_t item = 1; item < count; ++item) {
        if (o + 5 > kBlockItemsEnd) break;
        const int kind = static_cast<signed char>(block[o]);
        const size_t size = ReadU16(block + o + 1);
        const size_t position = ReadU16(block + o + 3);
        if (o + 5 + size > kBlockItemsEnd) break;
        if (position < p || position >= formatLen) break;
        const size_t pieceLen = position - p + 1;
        if (pieceLen > kArgMessageSize - 1) break;
        if (FormatPiece(format + p, pieceLen, kind, block + o + 5, size, message, kArgMessageSize, &len) !=
            PieceResult::kDone) {
            break;
        }
        p = position + 1;
        o += 5 + size;
    }
    return S_OK;
}

}  // namespace traceapi
