#include "core/fs.h"

#include "core/error.h"
#include "core/format.h"
#include "core/serialize.h"

namespace OST {

std::string Stat::FlagsText(uint32_t flags) {
  if (flags & FLAG_DIR) return "DIR";
  const bool exe = flags & FLAG_EXE;
  const bool write = flags & FLAG_WRITE;
  if (exe && write) return "FILE_rwx";
  if (exe) return "FILE_rox";
  if (write) return "FILE_rw";
  return "FILE_ro";
}

void Stat::StoreTo(ByteSink& sink) const try {
  Serializer::Store(sink, flags);
  Serializer::Store(sink, size);
  Serializer::Store(sink, atime.value);
  Serializer::Store(sink, mtime.value);
  Serializer::Store(sink, ctime.value);
}
OST_TRAIL

void Stat::LoadFrom(ByteSource& source) try {
  Serializer::Load(source, flags);
  Serializer::Load(source, size);
  Serializer::Load(source, atime.value);
  Serializer::Load(source, mtime.value);
  Serializer::Load(source, ctime.value);
}
OST_TRAIL

void Entry::StoreTo(ByteSink& sink) const try {
  name.StoreTo(sink);
  stat.StoreTo(sink);
}
OST_TRAIL

void Entry::LoadFrom(ByteSource& source) try {
  name.LoadFrom(source);
  stat.LoadFrom(source);
}
OST_TRAIL

bool EntryNameLess(const Entry& a, const Entry& b) { return a.name < b.name; }

std::string ToString(const Stat& stat) { return Format("{} {}", Stat::FlagsText(stat.flags), stat.size); }

std::string ToString(const Entry& entry) { return Format("{} {}", entry.name, entry.stat); }

std::string File::ModeText(Mode mode) {
  switch (mode) {
    case MODE_OPEN_EXISTING: return "MODE_OPEN_EXISTING";
    case MODE_TRUNCATE_EXISTING: return "MODE_TRUNCATE_EXISTING";
    case MODE_OPEN_ALWAYS: return "MODE_OPEN_ALWAYS";
    case MODE_CREATE_ALWAYS: return "MODE_CREATE_ALWAYS";
    case MODE_CREATE_NEW: return "MODE_CREATE_NEW";
  }
  OST_THROW(Error(E_INVAL, "Unknown file mode").Add("mode", std::to_string(mode)));
}

std::string File::AccessText(Access access) {
  switch (access) {
    case ACCESS_RO: return "ACCESS_RO";
    case ACCESS_WO: return "ACCESS_WO";
    case ACCESS_RW: return "ACCESS_RW";
  }
  OST_THROW(Error(E_INVAL, "Unknown file access").Add("access", std::to_string(access)));
}

std::string File::OriginText(Origin origin) {
  switch (origin) {
    case ORIGIN_SET: return "ORIGIN_SET";
    case ORIGIN_CUR: return "ORIGIN_CUR";
    case ORIGIN_END: return "ORIGIN_END";
  }
  OST_THROW(Error(E_INVAL, "Unknown seek origin").Add("origin", std::to_string(origin)));
}

void File::Writev(const Iovec* iov, int count) try { WritevAt(0, ORIGIN_CUR, iov, count); }
OST_TRAIL

int64_t File::ReadTimed(void* buffer, int64_t length, TimeoutMs) try {
  return ReadAt(0, ORIGIN_CUR, buffer, length);
}
OST_TRAIL

void File::WriteAt(int64_t offset, Origin origin, const void* data, int64_t size) try {
  const Iovec iov{data, size};
  WritevAt(offset, origin, &iov, 1);
}
OST_TRAIL

}  // namespace OST
