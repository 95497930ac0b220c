// The program's one binary encoding, on which every wire and file format is
// built: fixed-width little-endian integers with nothing between fields;
// byte strings as a uint32 length and the bytes; UTF-32 strings as the byte
// string of their UTF-8 form. Thread contract: pure functions over streams.
#pragma once

#include <cstdint>
#include <string>

#include "core/stream.h"

namespace OST::Serializer {

void Store(ByteSink& sink, int8_t v);
void Store(ByteSink& sink, int16_t v);
void Store(ByteSink& sink, int32_t v);
void Store(ByteSink& sink, int64_t v);
void Store(ByteSink& sink, uint8_t v);
void Store(ByteSink& sink, uint16_t v);
void Store(ByteSink& sink, uint32_t v);
void Store(ByteSink& sink, uint64_t v);
// Length min(size, 4294967294), then that many bytes.
void Store(ByteSink& sink, const std::string& v);
void Store(ByteSink& sink, const std::u32string& v);

void Load(ByteSource& source, int8_t& v);
void Load(ByteSource& source, int16_t& v);
void Load(ByteSource& source, int32_t& v);
void Load(ByteSource& source, int64_t& v);
void Load(ByteSource& source, uint8_t& v);
void Load(ByteSource& source, uint16_t& v);
void Load(ByteSource& source, uint32_t& v);
void Load(ByteSource& source, uint64_t& v);
// The announced length is untrusted: the target grows as bytes arrive (in
// 1 MiB steps), so a length that is never delivered costs no memory. A length
// with the top bit set throws E_INVAL "Invalid string length". On any failure
// the target is left unchanged.
void Load(ByteSource& source, std::string& v);
void Load(ByteSource& source, std::u32string& v);

}  // namespace OST::Serializer
