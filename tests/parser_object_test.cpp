// The parser object and its shared-memory segment: layout, key file, sharing
// between objects, the state a lone object starts from, the device group, and
// the arguments that end the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KeltoPlatform.h"
#include "KeyFile.h"
#include "MsspInternal.h"
#include "TestAccess.h"

using A = MsspTestAccess;

namespace {

struct Made {
    std::string name;
    int group;
    std::unique_ptr<CMultiStreamSyncParser> p;
    Made(const std::string& n, int g, int streams, int buf, int frames)
        : name(n), group(g),
          p(std::make_unique<CMultiStreamSyncParser>(g, streams, name.data(), buf, frames, nullptr, nullptr, 7)) {}
    ~Made() {
        p.reset();
        msspt::RemoveKeyFile(name, group);
    }
};

bool Exists(const std::string& path, mode_t mode) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == mode;
}

TEST(ParserObject, SegmentLayoutKeyFileAndSharing) {
    const int n = 3, buf = 200000, frames = 30;
    auto first = std::make_unique<Made>(msspt::UniqueName("lay"), 3, n, buf, frames);
    CMultiStreamSyncParser& p = *first->p;
    auto* base = static_cast<unsigned char*>(A::ShareMem(p));
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(A::Shmid(p), IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, static_cast<size_t>(n) * (buf + 24 + 40 * frames));
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(reinterpret_cast<unsigned char*>(A::Head(p, i)), base + 16 * i);
        EXPECT_EQ(reinterpret_cast<unsigned char*>(A::Cursor(p, i)), base + 16 * n + 8 * i);
        EXPECT_EQ(reinterpret_cast<unsigned char*>(A::Nodes(p, i)), base + 24 * n + 40 * frames * i);
        EXPECT_EQ(A::Ring(p, i), base + n * (24 + 40 * frames) + static_cast<size_t>(buf) * i);
    }
    EXPECT_TRUE(Exists(msspt::KeyFilePath(first->name, 3), 0660));
    // A second object on the same name attaches to the segment as it is.
    A::Ring(p, n - 1)[buf - 1] = 0xAB;  // the last ring ends at the segment's end
    Made second(first->name, 3, n, buf, frames);
    first.reset();
    EXPECT_EQ(A::Ring(*second.p, n - 1)[buf - 1], 0xAB);
    // A name longer than the key name allows is cut, not overflowed.
    const std::string longName = msspt::UniqueName("l") + std::string(40, 'q'), cut = std::string(mssp::KeyDir()) + "/." + longName.substr(0, 27);
    Made made(longName, 5, 1, 196608, 4);
    EXPECT_TRUE(Exists(cut, 0660));
    unlink(cut.c_str());
}

// MSSP_KEY_DIR names the key files' directory (a device's own, out of other
// users' reach); unset or empty is /tmp.
TEST(ParserObject, KeyFileInMsspKeyDir) {
    const std::string dir = "/tmp/mssp-keys-" + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string name = msspt::UniqueName("kd");
    for (const char* value : {dir.c_str(), ""}) {
        setenv("MSSP_KEY_DIR", value, 1);
        const std::string expected = (*value ? dir : std::string("/tmp")) + "/." + name + "06";
        EXPECT_EQ(msspt::KeyFilePath(name, 6), expected);
        {
            Made m(name, 6, 1, 196608, 4);
            EXPECT_TRUE(Exists(expected, 0660)) << expected;
            EXPECT_EQ(shmget(ftok(expected.c_str(), 'k'), 0, 0), A::Shmid(*m.p));
        }
        EXPECT_NE(access(expected.c_str(), F_OK), 0) << "left behind";
    }
    unsetenv("MSSP_KEY_DIR");
    EXPECT_EQ(access(("/tmp/." + name + "06").c_str(), F_OK), -1);
    EXPECT_EQ(rmdir(dir.c_str()), 0) << dir << " left behind";
}

TEST(ParserObject, LoneObjectClearsALeftOverSegment) {
    const std::string name = msspt::UniqueName("cl");
    const std::string path = msspt::KeyFilePath(name, 4);
    std::fclose(std::fopen(path.c_str(), "w"));
    const int size = 2 * (196608 + 24 + 40 * 6);
    const int shmid = shmget(ftok(path.c_str(), 'k'), size, IPC_CREAT | 0600);
    ASSERT_GE(shmid, 0);
    void* mem = shmat(shmid, nullptr, 0);
    std::memset(mem, 0xEE, size);
    shmdt(mem);
    Made m(name, 4, 2, 196608, 6);
    ASSERT_EQ(A::Shmid(*m.p), shmid);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(A::Head(*m.p, i)->parseNum + A::Ring(*m.p, i)[12345], 0u);
        EXPECT_EQ(A::Cursor(*m.p, i)->lastIndex, -1);
    }
}

TEST(ParserObject, DeviceGroupFromTheProductGroup) {
    const auto group = [](const Json::Value& value, int failure = 0) {
        Json::Value spec(Json::objectValue);
        if (!value.isNull()) spec["PRODUCT_GROUP"] = value;
        Kelto_SetSpecInfo(spec);
        Kelto_SetFailure(0, failure);  // a failing platform query gives group 0
        return GetDeviceGroup();
    };
    EXPECT_EQ(std::vector<int>({group("BUS"), group("ITS"), group("ANT"), group("bus"), group("ANTX"), group(42),
                                group(Json::Value()), group("ANT", -1)}),
              (std::vector<int>{2, 1, 3, 0, 0, 0, 0, 0}));
    group("ANT");
    Kelto_SetFailure(-5, 0);  // a failing product-type query is logged, construction goes on
    {
        Made m(msspt::UniqueName("dg"), 1, 1, 196608, 4);  // the constructor publishes the group
        EXPECT_EQ(g_DeviceGroup, 3);
    }
    group(Json::Value());
}

// Under a user-mode emulator (cross build) the child cannot re-execute this
// program, so it forks without exec there.
#ifdef MSSP_TEST_EMULATOR
constexpr const char* kDeathStyle = "fast";
#else
constexpr const char* kDeathStyle = "threadsafe";
#endif

TEST(ParserObjectDeathTest, BadStreamCountOrRingSizesEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, kDeathStyle);
    std::string name = msspt::UniqueName("d");
    struct Row {
        int streams, buf, frames;
        const char* message;
    };
    // 32 streams of 100 MB overflow a signed 32-bit size.
    for (const Row& r : {Row{0, 196608, 4, "invalid stream num:0"}, Row{33, 196608, 4, "invalid stream num:33"},
                         Row{1, 0, 4, "invalid ring size"}, Row{1, 196608, -1, "invalid ring size"},
                         Row{1, 3 * 65536 - 1, 4, "invalid ring size"},  // a read-sized pack would stall it
                         Row{32, 100000000, 4, "invalid ring size"}}) {
        // The parser reports on standard output; the child sends it to standard error.
        EXPECT_EXIT({
            dup2(2, 1);
            CMultiStreamSyncParser doomed(1, r.streams, name.data(), r.buf, r.frames, nullptr, nullptr, 0);
        }, ::testing::ExitedWithCode(1), r.message);
    }
    Made one(name, 1, 1, 196608, 2), all(msspt::UniqueName("e"), 1, 32, 196608, 2);
    EXPECT_EQ(A::StreamNum(*all.p), 32);
}

// A segment already under the key: replaced when nobody uses it and its size
// is not this object's (a killed player's), refused when in use and too small.
TEST(ParserObjectDeathTest, ExistingSegment_StaleReplaced_TooSmallInUseRefused) {
    // Forked at the statement, not re-run from the start: a re-run child would
    // make segments under its own name and leave them behind when it dies.
    // No thread runs here, so forking is safe.
    GTEST_FLAG_SET(death_test_style, "fast");
    const std::string name = msspt::UniqueName("old");
    const std::string path = msspt::KeyFilePath(name, 1);
    close(open(path.c_str(), O_RDWR | O_CREAT, 0600));
    const key_t key = ftok(path.c_str(), 'k');
    const int stale = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(stale, 0);
    auto p = std::make_unique<CMultiStreamSyncParser>(1, 1, const_cast<char*>(name.c_str()), 196608, 4, nullptr,
                                                      nullptr, 0);
    shmid_ds ds{};
    ASSERT_EQ(shmctl(A::Shmid(*p), IPC_STAT, &ds), 0);
    EXPECT_NE(A::Shmid(*p), stale);
    EXPECT_EQ(ds.shm_segsz, 196608u + 24 + 40 * 4);
    p.reset();
    const int small = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(small, 0);
    void* at = shmat(small, nullptr, 0);
    EXPECT_EXIT({
        dup2(2, 1);
        CMultiStreamSyncParser doomed(1, 1, const_cast<char*>(name.c_str()), 196608, 4, nullptr, nullptr, 0);
    }, ::testing::ExitedWithCode(1), "holds 4096 bytes");
    shmdt(at);
    shmctl(small, IPC_RMID, nullptr);
    unlink(path.c_str());
}

}  // namespace
