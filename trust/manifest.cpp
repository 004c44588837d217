#include "trust/manifest.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "trust/signature.h"

namespace trust {

namespace {

constexpr std::string_view kFormatWord = "mirvale-manifest";
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

/// A byte a name carries as it is; every other one is written as %XX.
bool IsPlainNameByte(unsigned char c) { return c > ' ' && c < 0x7F && c != '%'; }

bool IsValidGameName(std::string_view game) {
  if (game.empty() || game.size() > kMaxGameNameSize) return false;
  return std::all_of(game.begin(), game.end(),
                     [](char c) { return static_cast<unsigned char>(c) > ' ' && c < 0x7F; });
}

/// False for an empty name or one holding NUL, which the wire cannot carry.
bool EscapeName(std::string_view name, std::string& out) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsPlainNameByte(byte)) {
      out += c;
    } else {
      out += '%';
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 15];
    }
  }
  return true;
}

int UpperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// The inverse of EscapeName, and only of it: one spelling per name.
bool UnescapeName(std::string_view text, std::string& name) {
  name.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte != '%') {
      if (!IsPlainNameByte(byte)) return false;
      name += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = UpperHexValue(text[i + 1]), low = UpperHexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    const auto decoded = static_cast<unsigned char>(high * 16 + low);
    if (decoded == 0 || IsPlainNameByte(decoded)) return false;
    name += static_cast<char>(decoded);
    i += 2;
  }
  return !name.empty();
}

/// A canonical unsigned decimal: digits only, no leading zero but "0" itself.
template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t blank = line.find(' ', start);
    fields.push_back(line.substr(start, blank - start));
    if (blank == std::string_view::npos) return fields;
    start = blank + 1;
  }
}

bool ByName(const ManifestEntry& a, const ManifestEntry& b) { return a.name < b.name; }

}  // namespace

const ManifestEntry* Manifest::Find(std::string_view name) const {
  const auto at =
      std::lower_bound(files.begin(), files.end(), name,
                       [](const ManifestEntry& entry, std::string_view n) { return entry.name < n; });
  return at != files.end() && at->name == name ? &*at : nullptr;
}

bool SerializeManifest(const Manifest& manifest, std::string& text) {
  if (!IsValidGameName(manifest.game)) return false;
  std::vector<const ManifestEntry*> sorted;
  for (const auto& entry : manifest.files) sorted.push_back(&entry);
  std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return ByName(*a, *b); });
  std::string out = std::string(kFormatWord) + " " + std::to_string(kManifestFormatVersion) + "\n" + "game " +
                    manifest.game + "\n" + "versions " + std::to_string(manifest.major) + " " +
                    std::to_string(manifest.minor) + "\n";
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const ManifestEntry& entry = *sorted[i];
    if (i > 0 && sorted[i - 1]->name == entry.name) return false;
    out += "file " + std::to_string(entry.size) + " " + DigestToHex(entry.contentHash) + " " +
           std::to_string(entry.streamSize) + " " + DigestToHex(entry.streamHash) + " ";
    if (!EscapeName(entry.name, out)) return false;
    out += '\n';
  }
  text = std::move(out);
  return true;
}

Verdict ParseManifest(std::string_view text, Manifest& manifest, std::size_t* line) {
  std::size_t lineNumber = 0;
  const auto fail = [&](Verdict verdict) {
    if (line) *line = lineNumber;
    return verdict;
  };
  if (text.size() > kMaxManifestSize) return fail(Verdict::ManifestTooLarge);
  // Every line, the last one too, ends with "\n".
  if (!text.empty() && text.back() != '\n') {
    lineNumber = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    return fail(Verdict::ManifestMalformed);
  }

  Manifest parsed;
  bool sawGame = false, sawVersions = false;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    const std::string_view current = text.substr(0, end);
    text.remove_prefix(end + 1);
    const auto fields = SplitFields(current);
    const std::string_view kind = fields[0];

    if (lineNumber == 1) {
      std::uint32_t format = 0;
      if (fields.size() != 2 || kind != kFormatWord || !ParseNumber(fields[1], format) ||
          format != kManifestFormatVersion)
        return fail(Verdict::ManifestUnknownFormat);
    } else if (kind == "game") {
      if (sawGame || lineNumber != 2 || fields.size() != 2) return fail(Verdict::ManifestMalformed);
      if (!IsValidGameName(fields[1])) return fail(Verdict::ManifestBadName);
      parsed.game = std::string(fields[1]);
      sawGame = true;
    } else if (kind == "versions") {
      if (sawVersions || lineNumber != 3 || fields.size() != 3) return fail(Verdict::ManifestMalformed);
      if (!ParseNumber(fields[1], parsed.major) || !ParseNumber(fields[2], parsed.minor))
        return fail(Verdict::ManifestBadNumber);
      sawVersions = true;
    } else if (kind == "file") {
      if (!sawVersions || fields.size() != 6) return fail(Verdict::ManifestMalformed);
      ManifestEntry entry;
      if (!ParseNumber(fields[1], entry.size) || !ParseNumber(fields[3], entry.streamSize))
        return fail(Verdict::ManifestBadNumber);
      if (!DigestFromHex(fields[2], entry.contentHash) || !DigestFromHex(fields[4], entry.streamHash))
        return fail(Verdict::ManifestBadHash);
      if (!UnescapeName(fields[5], entry.name)) return fail(Verdict::ManifestBadName);
      parsed.files.push_back(std::move(entry));
    } else {
      return fail(Verdict::ManifestMalformed);
    }
  }
  if (lineNumber == 0) return fail(Verdict::ManifestUnknownFormat);
  if (!sawGame || !sawVersions) {
    lineNumber = 0;
    return fail(Verdict::ManifestMalformed);
  }
  std::stable_sort(parsed.files.begin(), parsed.files.end(), ByName);
  const auto twice = std::adjacent_find(parsed.files.begin(), parsed.files.end(),
                                        [](const auto& a, const auto& b) { return a.name == b.name; });
  if (twice != parsed.files.end()) {
    lineNumber = 0;
    return fail(Verdict::ManifestDuplicateName);
  }
  manifest = std::move(parsed);
  return Verdict::Accepted;
}

std::string ManifestTrustedComment(const Manifest& manifest) {
  return manifest.game + " manifest " + std::to_string(manifest.major) + " " + std::to_string(manifest.minor);
}

Verdict CheckTrustedComment(const Manifest& manifest, std::string_view comment) {
  return comment == ManifestTrustedComment(manifest) ? Verdict::Accepted : Verdict::TrustedCommentMismatch;
}

Verdict VerifyManifest(const PublicKey& key, std::string_view manifestText, std::string_view signatureFile,
                       Manifest& manifest) {
  std::string comment;
  Verdict verdict = Verify(key, manifestText, signatureFile, &comment);
  if (verdict != Verdict::Accepted) return verdict;
  Manifest parsed;
  verdict = ParseManifest(manifestText, parsed);
  if (verdict != Verdict::Accepted) return verdict;
  verdict = CheckTrustedComment(parsed, comment);
  if (verdict == Verdict::Accepted) manifest = std::move(parsed);
  return verdict;
}

bool SignManifest(const SecretKey& key, const Manifest& manifest, std::string& manifestText,
                  std::string& signatureFile) {
  std::string text, signature;
  if (!SerializeManifest(manifest, text) || !Sign(key, text, ManifestTrustedComment(manifest), signature))
    return false;
  manifestText = std::move(text);
  signatureFile = std::move(signature);
  return true;
}

}  // namespace trust
