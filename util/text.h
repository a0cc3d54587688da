// Wide text (UTF-16 code units in char16_t, zero-terminated) and 8-bit text in the C-string
// code page (GB18030, a superset of GB2312 that can spell every Unicode character).
#pragma once

#include <string>

namespace vorlenta {

// Name of the 8-bit code page of node names and internal strings.
constexpr const char* kCStringCodePage = "GB18030";

// Opens the process-wide converter pair between `charset` and UTF-16LE and remembers the
// charset name. Returns 0, or -1 when iconv knows no such charset (both converters invalid).
// Call once at start-up, before any worker thread exists.
int inner_initUnicodeMap(const char* charset);
// The charset of the converter pair, empty before inner_initUnicodeMap succeeded.
std::string GetUnicodeMapCharset();
// Converts through the pair; the same capacity and replacement rules as inner_uni2str.
long CharsetFromUnicode(char* out, const char16_t* in, long capacity, long length);
long CharsetToUnicode(char16_t* out, const char* in, long capacity, long length);

// Wide text -> 8-bit text. Converts at most `length` code units (stopping at a zero unit),
// writes at most `capacity` bytes including the NUL and never cuts a character in half.
// Unpaired surrogates become "?". Returns the byte length of `out`.
long inner_uni2str(char* out, const char16_t* in, long capacity, long length);
// 8-bit text -> wide text. Converts at most `length` bytes (stopping at a NUL), writes at most
// `capacity` code units including the terminator; invalid bytes become U+FFFD.
// Returns the number of code units in `out`.
long inner_str2uni(char16_t* out, const char* in, long capacity, long length);

int Unicode2Ansi(const char16_t* in, char* out, int capacity);
int Ansi2Unicode(const char* in, char16_t* out, int capacity);
std::string Unicode2Ansi(const char16_t* in);
std::u16string Ansi2Unicode(const char* in);

// UTF-8 forms of the same text, for paths handed to the operating system.
std::string Utf16ToUtf8(const char16_t* in);
std::u16string Utf8ToUtf16(const char* in);
// A node name or 8-bit path in the C-string code page as a UTF-8 path.
std::string AnsiToUtf8(const char* in);
std::string Utf8ToAnsi(const char* in);

// A name found on damaged media as one safe path component: "/" becomes "_", and an empty
// name, "." or ".." becomes "_", so that no recovered file lands outside its folder.
// (0x2F never occurs inside a multi-byte GB18030 character.)
std::string SafeFileName(const char* name);

// Length in code units of zero-terminated wide text.
size_t WideLength(const char16_t* s);

int GetExtendName(const char* name, char* ext);
char* GetCharLowerA(char* s);
int Convert2Lowercase(char* s);
char16_t* GetCharLowerW(char16_t* s);
void EraseStringTailBlankChar(char* s, int length);
int GetPathDirIndex(const char16_t* path, int& count);
// Splits `path` into an always-empty drive, the folder part, the name and the extension
// (the dot included). Every output must hold at least strlen(path) + 1 bytes.
void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);
// `path` (8-bit) when nothing exists there, else the first free "name(N).ext" beside it,
// as wide text of at most `capacity` code units. Returns 0, or 87 for null arguments.
int GetRealFileName(const char* path, char16_t* out, int capacity);
// The same rule on a UTF-8 path: the first of path, name(1).ext, name(2).ext … that is free.
std::string GetFreePathUtf8(const std::string& path);

}  // namespace vorlenta
