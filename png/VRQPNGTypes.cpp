#include "png/VRQPNGTypes.h"

#include <ctime>

namespace tintabrel {

void TakePictureInfo(TPngInfo& target, const TPictureInfo* info)
{
    if (info && info->FromFile) {
        static_cast<TPictureInfo&>(target) = *info;
        for (const TKeptChunk& kept : info->KeptChunks)
            if (kept.Type == chunk::tEXt && kept.Data.compare(0, 8, std::string("Comment\0", 8)) == 0) target.Comment.clear();
        return;
    }
    target.Gamma = DefaultGamma;
    if (info && info->PhysSeen) {
        target.PhysSeen = true;
        target.PhysUnit = info->PhysUnit;
        target.PhysX = info->PhysX;
        target.PhysY = info->PhysY;
    }
}

TVRQPNGTime CurrentUTCTime()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    TVRQPNGTime t;
    t.Year = static_cast<uint16_t>(utc.tm_year + 1900);
    t.Month = static_cast<uint8_t>(utc.tm_mon + 1);
    t.Day = static_cast<uint8_t>(utc.tm_mday);
    t.Hour = static_cast<uint8_t>(utc.tm_hour);
    t.Minute = static_cast<uint8_t>(utc.tm_min);
    t.Second = static_cast<uint8_t>(utc.tm_sec);
    return t;
}

TVRQPNGTime UTCTimeOfEpochSeconds(int64_t seconds)
{
    // Days to a civil date (proleptic Gregorian), without the C library's range limits.
    constexpr int64_t MaxSeconds = int64_t{253402300799}; // 9999-12-31 23:59:59
    seconds = seconds < 0 ? 0 : seconds > MaxSeconds ? MaxSeconds : seconds;
    const int64_t days = seconds / 86400;
    const int64_t rest = seconds % 86400;
    const int64_t z = days + 719468;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    TVRQPNGTime t;
    t.Year = static_cast<uint16_t>(year);
    t.Month = static_cast<uint8_t>(month);
    t.Day = static_cast<uint8_t>(day);
    t.Hour = static_cast<uint8_t>(rest / 3600);
    t.Minute = static_cast<uint8_t>(rest / 60 % 60);
    t.Second = static_cast<uint8_t>(rest % 60);
    return t;
}

} // namespace tintabrel
