// The two paths of the header functions and of the checksum
// (FrameFormat.cpp): the fast one for the usual case and the general one
// that handles every layout. The exported functions try the first and fall
// back on the second; the fuzz targets run both on the same bytes.
#ifndef MSSP_FRAME_FORMAT_H
#define MSSP_FRAME_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "MultiStreamSyncParser.h"

namespace mssp {

constexpr int kNotInPlace = -3;  // ParseHeaderInPlace: not the usual case

// GetFrameHeader (oldFormat false) or GetFrameHeaderOldVersion (true) by
// the general search and decoding.
int ParseHeaderGeneral(bool oldFormat, const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb,
                       tag_pbParserData* parser);
// The same for a chunk id at a[0] with header and extension area whole in
// a: the general path's result; kNotInPlace (nothing touched) otherwise.
int ParseHeaderInPlace(bool oldFormat, const uint8_t* a, uint32_t la, tag_pbParserData* parser);

// The sum modulo 256 of `count` bytes `step` apart from `low` on.
uint8_t SumSamples(const uint8_t* low, size_t step, int count);
// CalculateCheckSum of data whose last byte is end[-1], when the `avail`
// bytes before `end` hold every sample; kNotInOnePart otherwise.
constexpr int kNotInOnePart = -3;
int CheckSumInPart(const uint8_t* end, uint32_t avail, int len);
// CalculateCheckSum by the general walk through the pieces.
int CheckSumWalk(const FrameData_t* data, int len);

}  // namespace mssp

#endif  // MSSP_FRAME_FORMAT_H
