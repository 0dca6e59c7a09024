#include "caption_engine/runtime/sherpa/onnx_model_info.h"

#include <fstream>
#include <vector>

namespace quorvel::speech {

namespace {

// Field numbers of ModelProto, OperatorSetIdProto and StringStringEntryProto.
constexpr uint64_t kIrVersion = 1;
constexpr uint64_t kGraph = 7;
constexpr uint64_t kOpsetImport = 8;
constexpr uint64_t kMetadataProps = 14;
constexpr uint64_t kEntryKey = 1;
constexpr uint64_t kEntryValue = 2;
constexpr uint64_t kOpsetDomain = 1;
constexpr uint64_t kOpsetVersion = 2;
// Sub-messages we read whole (an opset entry, a metadata entry) are small; a larger one is no
// model we can use.
constexpr uint64_t kLargestReadMessage = 1 << 20;

// Reads varints and fields from a byte range.
struct Cursor {
  const uint8_t* p;
  const uint8_t* end;
  bool ok = true;

  bool atEnd() const { return p >= end; }
  uint64_t varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p >= end) break;
      uint8_t b = *p++;
      v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return v;
    }
    ok = false;
    return 0;
  }
  // Skips a field of the wire type; false when it is malformed.
  bool skip(uint64_t wireType) {
    switch (wireType) {
      case 0:
        varint();
        return ok;
      case 1:
        if (end - p < 8) return ok = false;
        p += 8;
        return true;
      case 2: {
        uint64_t n = varint();
        if (!ok || n > static_cast<uint64_t>(end - p)) return ok = false;
        p += n;
        return true;
      }
      case 5:
        if (end - p < 4) return ok = false;
        p += 4;
        return true;
      default:
        return ok = false;
    }
  }
};

// The key and value fields of a small message of string fields.
bool readStringPair(const std::vector<uint8_t>& bytes, uint64_t keyField, uint64_t valueField,
                    std::string& key, std::string& value, std::optional<int64_t>* intValue) {
  Cursor c{bytes.data(), bytes.data() + bytes.size()};
  while (!c.atEnd()) {
    uint64_t tag = c.varint();
    if (!c.ok) return false;
    uint64_t field = tag >> 3, type = tag & 7;
    if (type == 2 && (field == keyField || (field == valueField && !intValue))) {
      uint64_t n = c.varint();
      if (!c.ok || n > static_cast<uint64_t>(c.end - c.p)) return false;
      std::string s(reinterpret_cast<const char*>(c.p), n);
      c.p += n;
      (field == keyField ? key : value) = std::move(s);
    } else if (type == 0 && field == valueField && intValue) {
      *intValue = static_cast<int64_t>(c.varint());
      if (!c.ok) return false;
    } else if (!c.skip(type)) {
      return false;
    }
  }
  return true;
}

// Reads one varint from a stream; false at end of file or when malformed.
bool streamVarint(std::istream& in, uint64_t& v) {
  v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    int b = in.get();
    if (b == EOF) return false;
    v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

}  // namespace

std::optional<OnnxModelInfo> readOnnxModelInfo(const std::filesystem::path& file,
                                               std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<OnnxModelInfo> {
    if (error) *error = file.filename().string() + " is not an ONNX model (" + why + ")";
    return std::nullopt;
  };
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + file.string();
    return std::nullopt;
  }
  in.seekg(0, std::ios::end);
  const auto size = static_cast<uint64_t>(in.tellg());
  in.seekg(0);
  OnnxModelInfo info;
  bool sawIrVersion = false;
  while (true) {
    if (static_cast<uint64_t>(in.tellg()) == size) break;
    uint64_t tag = 0;
    if (!streamVarint(in, tag)) return fail("malformed field");
    const uint64_t field = tag >> 3, type = tag & 7;
    if (field == 0) return fail("malformed field");
    if (type == 0) {
      uint64_t v = 0;
      if (!streamVarint(in, v)) return fail("malformed field");
      if (field == kIrVersion) {
        info.irVersion = static_cast<int64_t>(v);
        sawIrVersion = true;
      }
      continue;
    }
    if (type == 1 || type == 5) {
      in.seekg(type == 1 ? 8 : 4, std::ios::cur);
      if (!in || static_cast<uint64_t>(in.tellg()) > size) return fail("truncated");
      continue;
    }
    if (type != 2) return fail("malformed field");
    uint64_t n = 0;
    if (!streamVarint(in, n)) return fail("malformed field");
    const uint64_t here = static_cast<uint64_t>(in.tellg());
    if (n > size - here) return fail("truncated");
    if (field == kOpsetImport || field == kMetadataProps) {
      if (n > kLargestReadMessage) return fail("oversized entry");
      std::vector<uint8_t> bytes(n);
      in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(n));
      if (!in) return fail("truncated");
      std::string key, value;
      if (field == kMetadataProps) {
        if (!readStringPair(bytes, kEntryKey, kEntryValue, key, value, nullptr))
          return fail("malformed metadata");
        info.metadata[key] = value;
      } else {
        std::optional<int64_t> version;
        if (!readStringPair(bytes, kOpsetDomain, kOpsetVersion, key, value, &version))
          return fail("malformed operator set");
        info.opsets[key] = version.value_or(0);
      }
      continue;
    }
    if (field == kGraph) info.hasGraph = n > 0;
    in.seekg(static_cast<std::streamoff>(n), std::ios::cur);
    if (!in) return fail("truncated");
  }
  if (!sawIrVersion || info.irVersion <= 0) return fail("no IR version");
  if (!info.hasGraph) return fail("no graph");
  return info;
}

}  // namespace quorvel::speech
