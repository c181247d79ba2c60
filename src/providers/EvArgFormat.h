// Formatting of argument blocks (events made by EvTraceFormatArgs).
//
// The block and its format text come from another process and are not
// trusted. The format is never handed to the C library as it stands: each
// piece is parsed here, its literal text copied, and its one conversion
// checked against the kind and size of the item it belongs to before a
// format of our own making (flags, bounded width and precision, length and
// letter, nothing else) formats the value.
#pragma once

#include <windows.h>

#include <stddef.h>

namespace traceapi {

constexpr size_t kArgMessageSize = 1024;

// Formats the items of a 1,312-byte argument block into `message`
// (kArgMessageSize bytes, zero-filled by the caller; the text stays
// terminated). Returns S_OK, or E_FAIL when the block has no items or its
// first item is not the format text. An item that cannot be formatted ends
// the message where it stands.
LONG FormatArgumentBlock(const BYTE* block, char* message);

enum class PieceResult {
    kDone,      // the piece's text and value were appended
    kCut,       // appended as far as the output had room
    kMismatch,  // nothing appended: the piece does not fit the item
};

// Appends the text of one piece of format text (literal text ending in one
// conversion) with the value of one item to out[*len..cap-1], keeping the
// text terminated. A piece does not fit its item when it does not end in a
// conversion, when the conversion is one the item's kind cannot take, when
// the value has the wrong size, or when it asks for '*' widths or widths and
// precisions beyond 1,023.
PieceResult FormatPiece(const char* piece, size_t pieceLen, int kind, const BYTE* value, size_t valueSize, char* out,
                        size_t cap, size_t* len);

}  // namespace traceapi
