// Property-list files through libplist: conversion between libplist trees and PlistValue, and the
// file plumbing around it (size-capped reads, atomic writes).
#include "platform/linux/plist_file.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quenlarch {
namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct CFree {
  void operator()(void* p) const { std::free(p); }
};

struct XmlFree {
  void operator()(char* xml) const { plist_to_xml_free(xml); }
};

constexpr std::uint64_t kInt64Max =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// ---- libplist tree -> PlistValue

// libplist 2.2 stores every integer as a uint64 and keeps "this was negative" in a private field
// that only its serialisers look at. For values above INT64_MAX (the only ambiguous ones) we ask
// its XML writer how it would spell the node.
bool integerNodeIsNegative(plist_t node) {
  PlistPtr copy(plist_copy(node));
  if (copy == nullptr) return false;
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(copy.get(), &raw, &length);
  std::unique_ptr<char, XmlFree> xml(raw);
  if (xml == nullptr) return false;
  return std::string_view(xml.get(), length).find("<integer>-") != std::string_view::npos;
}

// The text of a key node. libplist 2.2 hands keys out only as C strings and asserts that the
// stored length matches, so a key holding a NUL character (which a binary plist can encode, XML
// cannot) would abort the process. Its XML writer copies every byte of the key, though; such a key
// is found there first and refused, as NUL characters are on writing. (The node itself is written,
// not a copy: plist_copy duplicates a key only up to its first NUL but keeps the full length.)
std::optional<std::string> keyText(plist_t keyNode) {
  if (keyNode == nullptr || plist_get_node_type(keyNode) != PLIST_KEY) return std::nullopt;
  char* rawXml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(keyNode, &rawXml, &length);
  std::unique_ptr<char, XmlFree> xml(rawXml);
  if (xml == nullptr || std::string_view(xml.get(), length).find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  char* raw = nullptr;
  plist_get_key_val(keyNode, &raw);
  std::unique_ptr<char, CFree> key(raw);
  if (key == nullptr) return std::nullopt;
  return std::string(key.get());
}

std::optional<PlistValue> fromPlist(plist_t node, int depth) {
  if (node == nullptr || depth > kMaxPlistNestingDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PlistValue(b != 0);
    }
    case PLIST_UINT: {
      std::uint64_t u = 0;
      plist_get_uint_val(node, &u);
      if (u > kInt64Max && integerNodeIsNegative(node)) {
        return PlistValue(static_cast<std::int64_t>(u));  // two's complement back to negative
      }
      return PlistValue(u);
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PlistValue(d);
    }
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      if (s == nullptr) return PlistValue(std::string());
      return PlistValue(std::string(s, static_cast<std::size_t>(length)));
    }
    case PLIST_KEY: {  // only expected as dictionary keys, but harmless as a string anywhere
      std::optional<std::string> key = keyText(node);
      if (!key) return std::nullopt;
      return PlistValue(std::move(*key));
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      PlistData data;
      if (bytes != nullptr) {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
        data.bytes.assign(begin, begin + length);
      }
      return PlistValue(std::move(data));
    }
    case PLIST_DATE: {
      std::int32_t seconds = 0;
      std::int32_t micros = 0;
      plist_get_date_val(node, &seconds, &micros);
      // libplist converts its stored double to int32 seconds without a range check; a date beyond
      // the int32 range comes out as one of the extremes, which we therefore refuse.
      if (seconds == std::numeric_limits<std::int32_t>::min() ||
          seconds == std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
      }
      // The seconds are truncated toward zero and the microseconds are a magnitude, so before the
      // epoch the fraction counts backwards. (Within the second before it the sign is lost.)
      const double fraction = micros / 1e6;
      return PlistValue(PlistDate{seconds < 0 ? seconds - fraction : seconds + fraction});
    }
    case PLIST_ARRAY: {
      const std::uint32_t size = plist_array_get_size(node);
      PlistValue::Array array;
      array.reserve(size);
      for (std::uint32_t i = 0; i < size; ++i) {
        std::optional<PlistValue> item = fromPlist(plist_array_get_item(node, i), depth + 1);
        if (!item) return std::nullopt;
        array.push_back(std::move(*item));
      }
      return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
      plist_dict_iter rawIter = nullptr;
      plist_dict_new_iter(node, &rawIter);
      std::unique_ptr<void, CFree> iter(rawIter);
      if (iter == nullptr) return std::nullopt;
      PlistValue::Dictionary dict;
      for (;;) {
        plist_t item = nullptr;
        plist_dict_next_item(node, iter.get(), nullptr, &item);  // the key comes from keyText
        if (item == nullptr) break;
        std::optional<std::string> key = keyText(plist_dict_item_get_key(item));
        if (!key) return std::nullopt;
        std::optional<PlistValue> value = fromPlist(item, depth + 1);
        if (!value) return std::nullopt;
        dict.push_back(PlistEntry{PlistValue(std::move(*key)), std::move(*value)});
      }
      return PlistValue(std::move(dict));
    }
    case PLIST_UID:  // keyed-archive references: no PlistValue form
    case PLIST_NONE:
      break;
  }
  return std::nullopt;
}

// libplist 2.2 reads binary plists, and frees any tree, recursively: one stack frame per nesting
// level. An XML plist within kMaxPlistBytes can nest ~70,000 levels deep, whose freeing needs a few
// MiB of stack (a binary one within its cap about 1.5 MiB to read), more than many threads have, so
// a hostile file would crash us before our own depth limit could refuse it. Parsing and freeing
// therefore run on a thread whose stack is sized with a wide margin for that worst case (address
// space reserved, not memory committed).
constexpr std::size_t kParserStackBytes = std::size_t{32} << 20;

// ---- binary plists: the tree behind the references

// A binary plist stores each object once and refers to it by index, so one object may be referred
// to any number of times. libplist 2.2 builds a separate copy of an object's whole subtree for
// every reference to it: 40 arrays that each refer twice to the next, a few hundred bytes, stand
// for a tree of 2^40 nodes. So before libplist sees a binary plist, its references are followed
// here (each object once) to the size and depth of the tree they describe. The walk is as strict as
// libplist about where objects and references may lie, and refuses references that loop (as
// libplist does) and offset or reference sizes other than 1, 2, 4 and 8 (which no writer uses).
class BinaryPlistWalk {
 public:
  explicit BinaryPlistWalk(std::string_view bytes) : bytes_(bytes) {}

  // True when the tree has at most kMaxBinaryPlistNodes nodes and nests no deeper than
  // kMaxPlistNestingDepth; false when it is larger, deeper, or cannot be followed.
  bool withinLimits() {
    constexpr std::size_t kHeaderBytes = 8;    // "bplist00"
    constexpr std::size_t kTrailerBytes = 32;  // 6 unused, 2 sizes, 3 big-endian uint64s
    if (bytes_.size() < kHeaderBytes + kTrailerBytes) return false;
    const std::size_t trailer = bytes_.size() - kTrailerBytes;
    offsetSize_ = byteAt(trailer + 6);
    refSize_ = byteAt(trailer + 7);
    if (!isIntegerSize(offsetSize_) || !isIntegerSize(refSize_)) return false;
    const std::uint64_t objectCount = bigEndian(trailer + 8, 8);
    const std::uint64_t top = bigEndian(trailer + 16, 8);
    tableOffset_ = bigEndian(trailer + 24, 8);
    if (objectCount == 0 || top >= objectCount) return false;
    if (tableOffset_ < kHeaderBytes || tableOffset_ >= trailer) return false;
    if (objectCount > (trailer - tableOffset_) / offsetSize_) return false;
    objects_.assign(static_cast<std::size_t>(objectCount), Object{});
    return visit(top, 0);
  }

 private:
  enum class State : std::uint8_t { kUnseen, kOpen, kDone };
  struct Object {
    State state = State::kUnseen;
    std::uint32_t height = 0;  // levels below the object in the tree
    std::size_t nodes = 0;     // nodes of its subtree, the object itself included
  };

  static bool isIntegerSize(std::size_t size) {
    return size == 1 || size == 2 || size == 4 || size == 8;
  }
  std::uint8_t byteAt(std::size_t at) const { return static_cast<std::uint8_t>(bytes_[at]); }
  std::uint64_t bigEndian(std::size_t at, std::size_t size) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | byteAt(at + i);
    return value;
  }

  // The objects that object `index` refers to (a dictionary's keys, then its values); empty for
  // scalars. False when the object or its references lie outside the object area.
  bool referencesOf(std::uint64_t index, std::vector<std::uint64_t>& out) const {
    const std::uint64_t offset =
        bigEndian(static_cast<std::size_t>(tableOffset_ + index * offsetSize_), offsetSize_);
    if (offset >= tableOffset_) return false;
    std::size_t at = static_cast<std::size_t>(offset);
    const std::uint8_t marker = byteAt(at++);
    const std::uint8_t type = marker >> 4;
    const bool dictionary = type == 0xD;
    if (type != 0xA && type != 0xC && !dictionary) return true;  // arrays, sets, dictionaries
    std::uint64_t count = marker & 0x0F;
    if (count == 0x0F) {  // the count follows as an integer object
      if (at >= tableOffset_ || (byteAt(at) >> 4) != 0x1) return false;
      const std::size_t size = std::size_t{1} << (byteAt(at++) & 0x0F);
      if (size > 8 || size > tableOffset_ - at) return false;
      count = bigEndian(at, size);
      at += size;
    }
    const std::uint64_t room = (tableOffset_ - at) / refSize_;
    if (count > (dictionary ? room / 2 : room)) return false;
    if (dictionary) count *= 2;
    out.clear();
    out.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t child = bigEndian(at + static_cast<std::size_t>(i) * refSize_, refSize_);
      if (child >= objects_.size()) return false;
      out.push_back(child);
    }
    return true;
  }

  // Follows object `index`, met at `depth` (the top object's is 0). Recursion is bounded by the
  // depth limit.
  bool visit(std::uint64_t index, int depth) {
    Object& object = objects_[static_cast<std::size_t>(index)];
    if (object.state == State::kOpen) return false;  // a reference loop
    if (object.state == State::kDone) {
      return depth + static_cast<std::int64_t>(object.height) <= kMaxPlistNestingDepth;
    }
    if (depth > kMaxPlistNestingDepth) return false;
    object.state = State::kOpen;
    std::vector<std::uint64_t> references;
    if (!referencesOf(index, references)) return false;
    std::size_t nodes = 1;
    std::uint32_t height = 0;
    for (std::uint64_t child : references) {
      if (!visit(child, depth + 1)) return false;
      const Object& seen = objects_[static_cast<std::size_t>(child)];
      nodes += seen.nodes;  // each at most kMaxBinaryPlistNodes: no overflow
      if (nodes > kMaxBinaryPlistNodes) return false;
      height = std::max(height, seen.height + 1);
    }
    object = Object{State::kDone, height, nodes};
    return true;
  }

  std::string_view bytes_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t tableOffset_ = 0;
  std::vector<Object> objects_;
};

struct ParseJob {
  // NUL-terminated, so that any C-string scanning inside libplist stops within the buffer.
  std::string bytes;
  bool binary = false;
  std::optional<PlistValue> result;
};

void* runParseJob(void* arg) {
  auto* job = static_cast<ParseJob*>(arg);
  try {
    if (job->binary && !BinaryPlistWalk(job->bytes).withinLimits()) return nullptr;
    plist_t raw = nullptr;
    plist_from_memory(job->bytes.data(), static_cast<std::uint32_t>(job->bytes.size()), &raw);
    PlistPtr root(raw);
    if (root != nullptr) job->result = fromPlist(root.get(), 0);
  } catch (const std::exception&) {  // out of memory: no document, rather than std::terminate
    job->result.reset();
  }
  return nullptr;
}

// ---- PlistValue -> libplist tree

// plist_new_uint marks its value as signed, so a value above INT64_MAX would be written as a
// negative number. libplist's XML reader is the only public way to get a node it treats as
// unsigned.
PlistPtr unsignedIntegerNode(std::uint64_t u) {
  const std::string xml = "<plist><integer>" + std::to_string(u) + "</integer></plist>";
  plist_t raw = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &raw);
  PlistPtr node(raw);
  if (node == nullptr || plist_get_node_type(node.get()) != PLIST_UINT) return nullptr;
  std::uint64_t check = 0;
  plist_get_uint_val(node.get(), &check);
  return check == u ? std::move(node) : nullptr;
}

PlistPtr toPlist(const PlistValue& value, int depth);

// Builds the libplist node for one alternative of PlistValue; null when it cannot be written.
class NodeBuilder {
 public:
  explicit NodeBuilder(int depth) : depth_(depth) {}

  PlistPtr operator()(const std::string& s) const {
    if (s.find('\0') != std::string::npos) return nullptr;
    return PlistPtr(plist_new_string(s.c_str()));
  }
  PlistPtr operator()(std::int64_t i) const {
    return PlistPtr(plist_new_uint(static_cast<std::uint64_t>(i)));
  }
  PlistPtr operator()(std::uint64_t u) const {
    if (u <= kInt64Max) return PlistPtr(plist_new_uint(u));
    return unsignedIntegerNode(u);
  }
  PlistPtr operator()(double d) const {
    if (std::isinf(d)) return nullptr;
    return PlistPtr(plist_new_real(d));
  }
  PlistPtr operator()(bool b) const { return PlistPtr(plist_new_bool(b ? 1 : 0)); }
  PlistPtr operator()(const PlistNull&) const { return nullptr; }  // no plist form
  PlistPtr operator()(const PlistData& data) const {
    return PlistPtr(plist_new_data(reinterpret_cast<const char*>(data.bytes.data()),
                                   static_cast<std::uint64_t>(data.bytes.size())));
  }
  PlistPtr operator()(const PlistDate& date) const {
    const double t = date.secondsSinceReferenceDate;
    if (!std::isfinite(t)) return nullptr;
    double whole = std::floor(t);
    long long micros = std::llround((t - whole) * 1e6);
    if (micros == 1000000) {
      whole += 1;
      micros = 0;
    }
    // The int32 extremes are excluded as well: reading takes them for libplist's out-of-range
    // result.
    if (whole <= std::numeric_limits<std::int32_t>::min() ||
        whole >= std::numeric_limits<std::int32_t>::max()) {
      return nullptr;
    }
    return PlistPtr(
        plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>(micros)));
  }
  PlistPtr operator()(const PlistValue::Array& array) const {
    PlistPtr node(plist_new_array());
    if (node == nullptr) return nullptr;
    for (const PlistValue& element : array) {
      PlistPtr item = toPlist(element, depth_ + 1);
      if (item == nullptr) return nullptr;
      plist_array_append_item(node.get(), item.release());
    }
    return node;
  }
  PlistPtr operator()(const PlistValue::Dictionary& dict) const {
    PlistPtr node(plist_new_dict());
    if (node == nullptr) return nullptr;
    for (const PlistEntry& entry : dict) {
      const std::string* key = entry.key.asString();
      if (key == nullptr || key->find('\0') != std::string::npos) return nullptr;
      // With duplicate keys the first entry wins, as in PlistValue::find.
      if (plist_dict_get_item(node.get(), key->c_str()) != nullptr) continue;
      PlistPtr item = toPlist(entry.value, depth_ + 1);
      if (item == nullptr) return nullptr;
      plist_dict_set_item(node.get(), key->c_str(), item.release());
    }
    return node;
  }

 private:
  int depth_;
};

PlistPtr toPlist(const PlistValue& value, int depth) {
  if (depth > kMaxPlistNestingDepth) return nullptr;
  return std::visit(NodeBuilder(depth), value.storage());
}

// ---- files

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting whether the close succeeded (it can report a failed write-back).
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return fd >= 0 && ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<PlistValue> plistFromBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kMaxPlistBytes) return std::nullopt;
  try {
    ParseJob job{std::string(bytes.begin(), bytes.end()), false, std::nullopt};
    // The same test plist_from_memory makes to choose its reader.
    job.binary =
        plist_is_binary(job.bytes.data(), static_cast<std::uint32_t>(job.bytes.size())) != 0;
    if (job.binary && job.bytes.size() > kMaxBinaryPlistBytes) return std::nullopt;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return std::nullopt;
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attr, kParserStackBytes) == 0 &&
                         pthread_create(&thread, &attr, runParseJob, &job) == 0;
    pthread_attr_destroy(&attr);
    if (!started) return std::nullopt;
    pthread_join(thread, nullptr);
    return std::move(job.result);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<PlistValue> readPlistFile(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer (it is refused below anyway).
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uintmax_t>(st.st_size) > kMaxPlistBytes) {
    return std::nullopt;
  }
  try {
    // Sized from st_size (plus one byte to notice growth), so that a small Info.plist costs a small
    // buffer; read to the end rather than trusting st_size, the file may have changed since.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t total = 0;
    while (total <= kMaxPlistBytes) {
      if (total == bytes.size()) bytes.resize(std::min(bytes.size() * 2, kMaxPlistBytes + 1));
      const ssize_t n = ::read(fd.get(), bytes.data() + total, bytes.size() - total);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) break;
      total += static_cast<std::size_t>(n);
    }
    if (total > kMaxPlistBytes) return std::nullopt;
    return plistFromBytes(std::span(bytes.data(), total));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> plistToXml(const PlistValue& value) {
  try {
    PlistPtr root = toPlist(value, 0);
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

bool writeXmlPlistFile(const std::string& path, const PlistValue& value) {
  try {
    const std::optional<std::string> xml = plistToXml(value);
    if (!xml) return false;
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;

    // The temporary file sits in the target's directory so that rename() replaces the target in
    // one step; it is hidden so that directory listings in the meantime do not pick it up.
    std::string tempPath = dir + "." + name + ".XXXXXX";
    FileDescriptor fd(::mkostemp(tempPath.data(), O_CLOEXEC));
    if (fd.get() < 0) return false;
    // fsync before rename: otherwise a crash could leave the new name on an empty file.
    bool ok = writeAll(fd.get(), *xml) && ::fchmod(fd.get(), 0644) == 0 && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    ok = ok && ::rename(tempPath.c_str(), path.c_str()) == 0;
    if (!ok) {
      ::unlink(tempPath.c_str());
      return false;
    }
    // Make the rename itself durable; best effort, the file is in place either way.
    FileDescriptor dirFd(
        ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0) ::fsync(dirFd.get());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace quenlarch
