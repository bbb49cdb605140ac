// Plain types of the recorder's platform library that the playback engine's
// exported header needs: the product type and the common date-time record.
// This header has no dependency beyond the C++ standard library so that a
// host including MultiStreamSyncParser.h does not need jsoncpp.
#ifndef KELTO_TYPES_H
#define KELTO_TYPES_H

#include <cstdint>

// Product type reported by the platform. The playback engine only stores it;
// its values belong to the platform.
enum eProductType : int {
    PRODUCT_TYPE_UNKNOWN = 0,
    PRODUCT_TYPE_DVR = 1,
    PRODUCT_TYPE_NVR = 2,
    PRODUCT_TYPE_MDVR = 3,
};

namespace Common {

// Date-time record of the recorder's common library. The first six bytes
// are year (counted from 2000), month, day, hour, minute, second.
struct _datetime_ {
    uint8_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint16_t millisecond;  // not read by the playback engine
};
static_assert(sizeof(_datetime_) == 8, "_datetime_ layout");

}  // namespace Common

#endif  // KELTO_TYPES_H
