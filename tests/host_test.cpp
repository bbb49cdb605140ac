// The host layer's own logic, without an engine: the payload of a pack in
// either format at every split between the two pieces a ring hands out, the
// kind of a video payload, trick speeds, and the key file of the engine's
// shared memory.
// Sessions and the engine are driven through the GStreamer element's tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "MsspHost.h"
#include "PackWriter.h"

namespace {

using mssphost::PackFormat;
using mssphost::PackView;
using packwriter::Bytes;

// Every split of a pack between the two pieces a ring hands out gives the
// payload whole; a pack cut short, or read as the other format, gives none.
TEST(HostPayload, PayloadComesOutWholeAtEverySplit) {
    Bytes payload(300);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
    packwriter::NewPack fresh;
    fresh.video = packwriter::VideoInfo{352, 288, 25};
    fresh.pts = 123456;
    packwriter::OldVideoPack old;
    old.kind = packwriter::kPFrame;
    const std::pair<PackFormat, Bytes> packs[] = {{PackFormat::kNew, packwriter::MakeNewPack(fresh, payload)},
                                                  {PackFormat::kOld, packwriter::MakeOldVideoPack(old, payload)},
                                                  {PackFormat::kOld, packwriter::MakeOldAudioPack(2, 0, payload)}};
    auto split = [](const Bytes& pack, size_t at) {
        return PackView{pack.data(), at, at < pack.size() ? pack.data() + at : nullptr, pack.size() - at};
    };
    for (const auto& [format, pack] : packs) {
        for (size_t at = 4; at <= pack.size(); ++at) {
            std::vector<uint8_t> scratch;
            size_t len = 0;
            const uint8_t* p = mssphost::ContiguousPayload(format, split(pack, at), &scratch, &len);
            ASSERT_TRUE(p && Bytes(p, p + len) == payload) << "split at " << at << " of " << pack.size();
        }
        size_t offset = 0, len = 0;
        EXPECT_FALSE(mssphost::PayloadRange(format, split(Bytes(pack.begin(), pack.end() - 1), 10), &offset, &len));
        const PackFormat other = format == PackFormat::kNew ? PackFormat::kOld : PackFormat::kNew;
        EXPECT_FALSE(mssphost::PayloadRange(other, split(pack, pack.size()), &offset, &len));
    }
    const std::pair<Bytes, mssphost::MediaKind> kinds[] = {  // from the first NAL unit
        {{0, 0, 0, 1, 0x67, 0x42}, mssphost::MediaKind::kH264},        // sequence parameter set
        {{0, 0, 1, 0x09, 0xF0}, mssphost::MediaKind::kH264},           // access unit delimiter
        {{0, 0, 0, 1, 0x40, 0x01, 0x0C}, mssphost::MediaKind::kH265},  // video parameter set
        {{0, 0, 0, 1, 0x46, 0x01, 0x50}, mssphost::MediaKind::kH265},  // access unit delimiter
        {{'M', 'S', 'Y', 'N', 0, 0, 0, 0}, mssphost::MediaKind::kOther},
        {{0, 0, 0, 1, 0x80, 0x01}, mssphost::MediaKind::kOther},  // forbidden bit set
        {{0, 0, 1}, mssphost::MediaKind::kOther},
    };
    for (const auto& [bytes, kind] : kinds) EXPECT_EQ(mssphost::ClassifyVideo(bytes.data(), bytes.size()), kind) << bytes.size();
}

TEST(HostTrick, RatesMapToTheEngineSpeeds) {
    for (const auto& [rate, speed] : {std::pair{1.5, 2}, {2.0, 2}, {4.0, 4}, {7.9, 4}, {8.0, 8}, {15.0, 8}, {16.0, 16},
                                      {-16.0, 16}, {31.0, 16}, {32.0, 32}, {100.0, 32}})
        EXPECT_EQ(mssphost::TrickSpeedForRate(rate), speed) << rate;
}

// The key file as a host finds it: in MSSP_KEY_DIR (or /tmp), with the
// process whose engine plays on it while that one holds its lock; removal
// leaves a key file alone while another process plays on it.
TEST(HostSharedMemory, KeyFileInMsspKeyDir_OwnerByLock_KeptWhileLocked) {
    const std::string dir = "/tmp/mssp-hostkeys-" + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    setenv("MSSP_KEY_DIR", dir.c_str(), 1);
    const std::string name = mssphost::UniqueShmName("hk");
    const std::string path = mssphost::KeyFilePath(name, 1);
    EXPECT_EQ(path, dir + "/." + name + "01");
    EXPECT_EQ(mssphost::KeyFileOwner(name, 1), 0) << "no key file";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "4242\n", 5), 5);
    EXPECT_EQ(mssphost::KeyFileOwner(name, 1), 0) << "a process id without a lock";
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
    EXPECT_EQ(mssphost::KeyFileOwner(name, 1), 4242);
    mssphost::RemoveSharedMemory(name, 1);
    EXPECT_TRUE(mssphost::SharedMemoryExists(name, 1)) << "removed under a playing process";
    close(fd);  // the lock goes with the description
    mssphost::RemoveSharedMemory(name, 1);
    EXPECT_FALSE(mssphost::SharedMemoryExists(name, 1));
    unsetenv("MSSP_KEY_DIR");
    EXPECT_EQ(rmdir(dir.c_str()), 0) << dir << " left behind";
}

}  // namespace
