// Property-list documents: the size caps, the reference walk for binary plists, libplist run on a
// big stack, and the files around them.
#include "platform/linux/plist_file.h"

#include <exception>
#include <utility>

#include "platform/linux/big_stack.h"
#include "platform/linux/binary_plist_walk.h"
#include "platform/linux/file_io.h"
#include "platform/linux/plist_conversion.h"

namespace quenlarch {
namespace {

// libplist 2.2 reads binary plists, and frees any tree, recursively: one stack frame per nesting
// level. An XML plist within kMaxPlistBytes can nest ~70,000 levels deep, whose freeing needs a few
// MiB of stack (a binary one within its cap about 1.5 MiB to read), more than many threads have, so
// a hostile file would crash us before our own depth limit could refuse it. Parsing and freeing
// therefore run on a thread whose stack is sized with a wide margin for that worst case.
constexpr std::size_t kParserStackBytes = std::size_t{32} << 20;

// REQUIRES: a big stack. `bytes` is NUL-terminated, so that any C-string scanning inside libplist
// stops within the buffer.
std::optional<PlistValue> parse(const std::string& bytes, bool binary) {
  try {
    if (binary) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
      const BinaryPlistLimits limits{kMaxBinaryPlistNodes, kMaxPlistNestingDepth};
      if (!binaryPlistShape(std::span(data, bytes.size()), limits)) return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
    PlistPtr root(raw);
    if (root == nullptr) return std::nullopt;
    return plistValueFromNode(root.get());
  } catch (const std::exception&) {  // out of memory: no document, rather than std::terminate
    return std::nullopt;
  }
}

}  // namespace

std::optional<PlistValue> plistFromBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kMaxPlistBytes) return std::nullopt;
  try {
    const std::string text(bytes.begin(), bytes.end());
    // The same test plist_from_memory makes to choose its reader.
    const bool binary = plist_is_binary(text.data(), static_cast<std::uint32_t>(text.size())) != 0;
    if (binary && text.size() > kMaxBinaryPlistBytes) return std::nullopt;
    std::optional<PlistValue> result;
    if (!runOnBigStack(kParserStackBytes, [&] { result = parse(text, binary); })) {
      return std::nullopt;
    }
    return result;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

Expected<PlistValue> loadPlistFile(const std::string& path) {
  try {
    const FileContents file = readRegularFile(path, kMaxPlistBytes);
    if (file.error) return unexpected(file.error->message(kMaxPlistBytes));
    const auto* data = reinterpret_cast<const std::uint8_t*>(file.bytes.data());
    std::optional<PlistValue> document = plistFromBytes(std::span(data, file.bytes.size()));
    if (!document) return unexpected("not a property list");
    return std::move(*document);
  } catch (const std::exception&) {  // out of memory
    return unexpected("cannot read: out of memory");
  }
}

std::optional<std::string> plistToXml(const PlistValue& value) {
  try {
    PlistPtr root = plistNodeFromValue(value);
    if (root == nullptr) return std::nullopt;
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &raw, &length);
    std::unique_ptr<char, XmlFree> xml(raw);
    if (xml == nullptr) return std::nullopt;
    return std::string(xml.get(), length);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

Expected<void> writeXmlPlistFile(const std::string& path, const PlistValue& value, mode_t mode) {
  try {
    const std::optional<std::string> xml = plistToXml(value);
    if (!xml) return unexpected("the value cannot be written as a property list");
    if (std::optional<FileError> error = writeFileAtomically(path, *xml, mode)) {
      return unexpected(error->message());
    }
    return {};
  } catch (const std::exception&) {  // out of memory
    return unexpected("cannot write: out of memory");
  }
}

}  // namespace quenlarch
