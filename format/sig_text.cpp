// Text documents whose start can be told from text: RTF, PostScript, HTML and XML.
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::MatchText;
using signature::StartsWithNoCase;
using signature::Usable;

constexpr int kRtfMinLength = 6;
constexpr char kRtfTag[] = "{\\rtf";

constexpr int kPsMinLength = 11;
constexpr char kPsTag[] = "%!PS-Adobe-";

constexpr int kMarkupMinLength = 16;
constexpr char kHtmlDoctype[] = "<!doctype html";
constexpr char kHtmlElement[] = "<html";
constexpr char kXmlDeclaration[] = "<?xml";
constexpr char kXmlVersion[] = "version=";
constexpr char kCommentOpen[] = "<!--";
constexpr char kCommentClose[] = "-->";

bool IsMarkupSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// `tag` (lower case, without its NUL) at the start, followed by whitespace or the tag's end.
template <size_t N>
bool StartsWithTag(const unsigned char* buf, size_t n, const char (&tag)[N]) {
  const size_t length = N - 1;
  if (n <= length || !StartsWithNoCase(buf, tag, length)) return false;
  return IsMarkupSpace(buf[length]) || buf[length] == '>';
}

// The offset after the comments (and the whitespace after each) that open a page, as some
// writers put their name first; n when the buffer ends inside them.
size_t SkipLeadingComments(const unsigned char* buf, size_t n) {
  size_t p = 0;
  while (MatchText(buf, n, p, kCommentOpen)) {
    size_t q = p + sizeof kCommentOpen - 1;
    while (q < n && !MatchText(buf, n, q, kCommentClose)) ++q;
    if (q >= n) return n;
    p = q + sizeof kCommentClose - 1;
    while (p < n && IsMarkupSpace(buf[p])) ++p;
  }
  return p;
}

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsRtfType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kRtfMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  // A version digit or the next control word follows.
  const uint8_t next = buf[sizeof kRtfTag - 1];
  return MatchText(buf, n, 0, kRtfTag) && (signature::IsAsciiDigit(next) || next == '\\') ? kTypeRtf : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPostScriptType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kPsMinLength)) return kTypeNone;
  return MatchText(buf, Usable(buf, len), 0, kPsTag) ? kTypePs : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsHtmlType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMarkupMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  const size_t p = SkipLeadingComments(buf, n);
  return StartsWithTag(buf + p, n - p, kHtmlDoctype) || StartsWithTag(buf + p, n - p, kHtmlElement) ? kTypeHtml
                                                                                                    : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsXmlType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMarkupMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kXmlDeclaration) || !IsMarkupSpace(buf[sizeof kXmlDeclaration - 1])) return kTypeNone;
  size_t at = sizeof kXmlDeclaration;
  while (at < n && IsMarkupSpace(buf[at])) ++at;
  return MatchText(buf, n, at, kXmlVersion) ? kTypeXml : kTypeNone;
}

}  // namespace vorlenta
