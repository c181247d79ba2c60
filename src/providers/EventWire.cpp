#include "providers/EventWire.h"

#include <cstdarg>
#include <cstring>

#include "frame/BoundedText.h"

namespace traceapi::wire {

namespace {

void Put16(BYTE* at, USHORT value) { memcpy(at, &value, sizeof value); }
void Put32(BYTE* at, ULONG value) { memcpy(at, &value, sizeof value); }
void Put64(BYTE* at, ULONG64 value) { memcpy(at, &value, sizeof value); }

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsIntegerLetter(char c) {
    switch (c) {
        case 'x': case 'X': case 'd': case 'l': case 'i': case 'o': case 'u': return true;
        default: return false;
    }
}

bool IsFloatLetter(char c) {
    switch (c) {
        case 'e': case 'E': case 'f': case 'g': case 'G': case 'a': case 'A': return true;
        default: return false;
    }
}

void FillTrailer(BYTE* block, const BlockTrailer& trailer) {
    if (trailer.file != nullptr) {
        size_t length = BoundedLength(trailer.file, kBlockFileChars);
        memcpy(block + kOffBlockFile, trailer.file, length);
    }
    Put32(block + kOffBlockLine, trailer.line);
    Put64(block + kOffBlockTime, trailer.time);
    Put32(block + kOffBlockProcess, trailer.processId);
    Put32(block + kOffBlockThread, trailer.threadId);
}

// The item area of an argument block: 1,024 bytes from block offset 4, two
// header bytes (a zero and the item count), then the items. offset counts
// from the area's start.
class ItemWriter {
public:
    explicit ItemWriter(BYTE* area) : area_(area) {}

    size_t offset() const { return offset_; }
    BYTE count() const { return count_; }

    // Adds an item when it ends within the area. Returns false when left out.
    bool Add(ItemKind kind, size_t position, const void* data, size_t size) {
        if (count_ == 0xFF || offset_ >= kItemsArea || kItemHeader + size > kItemsArea - offset_) return false;
        BYTE* item = area_ + offset_;
        item[0] = kind;
        Put16(item + 1, static_cast<USHORT>(size));
        Put16(item + 3, static_cast<USHORT>(position & 0xFF));
        memcpy(item + kItemHeader, data, size);
        offset_ += kItemHeader + size;
        ++count_;
        area_[1] = count_;
        return true;
    }

    // A string item cut so that it ends within the area; a string cut to
    // nothing, or an empty one, adds no item.
    void AddString(size_t position, LPCSTR text) {
        if (text == nullptr || offset_ >= kItemsArea || kItemsArea - offset_ <= kItemHeader + 1) return;
        size_t room = kItemsArea - offset_ - kItemHeader - 1;  // characters that fit before the zero
        size_t length = BoundedLength(text, room);
        if (length == 0 || count_ == 0xFF) return;
        BYTE* item = area_ + offset_;
        item[0] = kItemString;
        Put16(item + 1, static_cast<USHORT>(length + 1));
        Put16(item + 3, static_cast<USHORT>(position & 0xFF));
        memcpy(item + kItemHeader, text, length);
        item[kItemHeader + length] = 0;
        offset_ += kItemHeader + length + 1;
        ++count_;
        area_[1] = count_;
    }

private:
    BYTE* area_;
    size_t offset_ = 2;
    BYTE count_ = 0;
};

enum class Width { Default, Long, LongLong };

// One conversion of the format, starting at the '%' at format[start].
// Takes the conversion's arguments from the list and adds its item. Returns
// the index of the last character that belongs to the conversion.
size_t TakeConversion(LPCSTR format, size_t length, size_t start, va_list& arguments, ItemWriter& items) {
    size_t i = start + 1;
    if (i < length && format[i] == '%') return i;
    // Flags, width and precision; a '*' takes an int from the list.
    while (i < length) {
        char c = format[i];
        if (IsDigit(c) || c == '.' || c == '-' || c == '+' || c == ' ' || c == '#') {
            ++i;
        } else if (c == '*') {
            (void)va_arg(arguments, int);
            ++i;
        } else {
            break;
        }
    }
    Width width = Width::Default;
    bool sized = false;  // a size letter was given
    if (i < length && format[i] == 'h') {
        i += (i + 1 < length && format[i + 1] == 'h') ? 2 : 1;
        sized = true;
    } else if (i < length && format[i] == 'l') {
        // "l" or "ll" counts as a size only when a letter follows; otherwise
        // the last 'l' is the conversion letter itself.
        if (i + 2 < length && format[i + 1] == 'l' && IsLetter(format[i + 2])) {
            width = Width::LongLong;
            i += 2;
            sized = true;
        } else if (i + 1 < length && IsLetter(format[i + 1]) && format[i + 1] != 'l') {
            width = Width::Long;
            i += 1;
            sized = true;
        } else if (i + 1 < length && format[i + 1] == 'l') {
            width = Width::Long;
            i += 1;
            sized = true;
        }
    } else if (i + 2 < length && format[i] == 'I' && format[i + 1] == '6' && format[i + 2] == '4') {
        width = Width::LongLong;
        i += 3;
        sized = true;
    } else if (i + 2 < length && format[i] == 'I' && format[i + 1] == '3' && format[i + 2] == '2') {
        i += 3;
        sized = true;
    } else if (i < length && (format[i] == 'z' || format[i] == 'j' || format[i] == 't' || format[i] == 'I')) {
        width = Width::LongLong;
        i += 1;
        sized = true;
    }
    if (i >= length) return length - 1;
    char letter = format[i];
    size_t position = i;

    if (IsFloatLetter(letter)) {
        double value = va_arg(arguments, double);
        items.Add(kItemDouble, position, &value, sizeof value);
    } else if (letter == 'c' || letter == 'C') {
        char value = static_cast<char>(va_arg(arguments, int));
        items.Add(kItemChar, position, &value, sizeof value);
    } else if (letter == 's' || letter == 'S') {
        items.AddString(position, va_arg(arguments, LPCSTR));
    } else if (letter == 'p') {
        ULONG64 value = reinterpret_cast<uintptr_t>(va_arg(arguments, void*));
        items.Add(kItemLongLong, position, &value, sizeof value);
    } else if (letter == 'n') {
        // Nothing is written back through the pointer; its slot is skipped.
        (void)va_arg(arguments, void*);
    } else if (IsIntegerLetter(letter) || (sized && IsLetter(letter))) {
        if (width == Width::LongLong) {
            ULONG64 value = va_arg(arguments, unsigned long long);
            items.Add(kItemLongLong, position, &value, sizeof value);
        } else {
            ULONG value = va_arg(arguments, unsigned int);
            items.Add(width == Width::Long ? kItemLong : kItemInt, position, &value, sizeof value);
        }
    } else {
        // Not a conversion: no item, no argument.
        return start;
    }
    return i;
}

}  // namespace

void CopyField(char* field, LPCSTR text) {
    if (text == nullptr) return;
    size_t length = BoundedLength(text, kFieldSize - 1);
    memcpy(field, text, length);
    field[length] = '\0';
}

void NormaliseDescription(EVT_PROVIDER_INFO& info) {
    for (char* field : {info.m_szInstanceName, info.m_szUserName, info.m_szProviderText}) {
        size_t length = BoundedLength(field, kFieldSize - 1);
        memset(field + length, 0, kFieldSize - length);
    }
}

void FillEvent(BYTE* buffer, size_t payloadLength, UCHAR classType, ULONG code, ULONG type,
               const EVT_PROVIDER_INFO& description, LPCSTR stringA, LPCSTR stringB, BYTE flag) {
    auto* header = reinterpret_cast<EVENT_TRACE_HEADER*>(buffer);
    header->Size = static_cast<USHORT>(kHeaderSize + kFixedSize + payloadLength + kWireTail);
    header->Class.Type = classType;
    header->Guid = kEventClassGuid;
    header->Flags = WNODE_FLAG_TRACED_GUID;

    BYTE* data = buffer + kHeaderSize;
    Put32(data + kOffMagic, kMagic);
    Put32(data + kOffDataSize, static_cast<ULONG>(kFixedSize + payloadLength));
    Put32(data + kOffCode, code);
    Put32(data + kOffType, type);
    memcpy(data + kOffSource, &description, sizeof description);
    CopyField(reinterpret_cast<char*>(data + kOffStringB), stringB);
    CopyField(reinterpret_cast<char*>(data + kOffStringA), stringA);
    data[kOffFlag] = flag;
}

std::vector<BYTE> BuildFormatBlock(LPCSTR format, va_list arguments) {
    struct Argument {
        ULONG kind;
        ULONG size;
        ULONG number;
        LPCSTR text;
    };
    Argument taken[kFormatMaxArguments] = {};
    ULONG count = 0;
    size_t total = 0;
    for (size_t i = 0; format[i] != '\0'; ++i) {
        if (format[i] != '%') continue;
        char letter = format[i + 1];
        if (letter == '%') {
            ++i;
            continue;
        }
        ULONG kind;
        switch (letter) {
            case 'd': kind = 0; break;
            case 'x': kind = 1; break;
            case 's':
            case 'S': kind = 2; break;
            case 'l': kind = 4; break;
            default: continue;  // not a conversion of this form
        }
        ++i;
        if (count == kFormatMaxArguments) continue;  // the block has four slots
        Argument& argument = taken[count++];
        argument.kind = kind;
        if (kind == 2) {
            argument.text = va_arg(arguments, LPCSTR);
            argument.size = argument.text ? static_cast<ULONG>(BoundedLength(argument.text, kMaxText)) : 0;
        } else {
            argument.number = va_arg(arguments, unsigned int);
            argument.size = sizeof(ULONG);
        }
        total += argument.size;
    }

    std::vector<BYTE> block(kFormatBlockFixed + total, 0);
    BYTE* out = block.data();
    Put32(out, count);
    size_t at = 292;
    for (ULONG n = 0; n < count; ++n) {
        const Argument& argument = taken[n];
        Put32(out + 4 + 4 * n, argument.size);
        if (argument.size != 0) Put32(out + 20 + 4 * n, argument.kind);
        if (argument.kind == 2) {
            if (argument.size != 0) memcpy(out + at, argument.text, argument.size);
        } else {
            Put32(out + at, argument.number);
        }
        at += argument.size;
    }
    CopyField(reinterpret_cast<char*>(out + 36), format);
    return block;
}

void BuildArgumentBlock(BYTE (&block)[kBlockSize], LPCSTR format, va_list arguments, const BlockTrailer& trailer) {
    memset(block, 0, sizeof block);
    Put32(block, 1);
    ItemWriter items(block + kItemsOffset);
    if (format == nullptr) format = "";
    size_t length = BoundedLength(format, kFormatItemMaxChars);
    // Item 0: the format with its zero; its size is what is stored.
    BYTE formatItem[kFormatItemMaxChars + 1];
    memcpy(formatItem, format, length);
    formatItem[length] = 0;
    items.Add(kItemString, 0, formatItem, length + 1);
    if (length >= kFormatItemMaxChars) {
        FillTrailer(block, trailer);
        return;
    }

    va_list walk;
    va_copy(walk, arguments);
    for (size_t i = 0; i < length; ++i) {
        if (format[i] == '%') i = TakeConversion(format, length, i, walk, items);
    }
    va_end(walk);
    FillTrailer(block, trailer);
}

void BuildLogBlock(BYTE (&block)[kBlockSize], LPCSTR text, ULONG length, const BlockTrailer& trailer) {
    memset(block, 0, sizeof block);
    if (text != nullptr && length < kLogTextMaxLength) {
        size_t chars = BoundedLength(text, length);
        memcpy(block + kItemsOffset, text, chars);
    }
    FillTrailer(block, trailer);
}

ULONG FormattedType(ULONG type) {
    switch (type) {
        case EVT_TYPE_UL_INFO: return EVT_TYPE_UL_FMT_INFO;
        case EVT_TYPE_UL_WARN: return EVT_TYPE_UL_FMT_WARN;
        case EVT_TYPE_UL_ERROR: return EVT_TYPE_UL_FMT_ERROR;
        case EVT_TYPE_UL_VERBOSE: return EVT_TYPE_UL_FMT_VERBOSE;
        case EVT_TYPE_UL_NOTICE: return EVT_TYPE_UL_FMT_NOTICE;
        case EVT_TYPE_UL_DEBUG: return EVT_TYPE_UL_FMT_DEBUG;
        default: return type;
    }
}

}  // namespace traceapi::wire
