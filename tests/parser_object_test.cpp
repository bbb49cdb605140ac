// The parser object and its shared-memory segment: layout, key file,
// sharing between objects, state after construction, device group, and the
// conditions that end the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "KeltoPlatform.h"
#include "MsspInternal.h"
#include "TestAccess.h"

using A = MsspTestAccess;

namespace {

struct Made {
    std::string name;
    int group;
    std::unique_ptr<CMultiStreamSyncParser> parser;
};

Made Make(const char* tag, int group, int streams, int bufSize, int frameNum,
          MSSP_StreamOperation_t* ops = nullptr, void* user = nullptr) {
    Made m{msspt::UniqueName(tag), group, nullptr};
    m.parser = std::make_unique<CMultiStreamSyncParser>(group, streams, m.name.data(), bufSize,
                                                        frameNum, ops, user, 7);
    return m;
}

class ParserObject : public ::testing::Test {
protected:
    void TearDown() override {
        Kelto_SetSpecInfo(Json::Value(Json::objectValue));
        Kelto_SetFailure(0, 0);
    }
};

size_t SegmentSize(int shmid) {
    struct shmid_ds ds;
    if (shmctl(shmid, IPC_STAT, &ds) != 0) return 0;
    return ds.shm_segsz;
}

}  // namespace

TEST_F(ParserObject, SegmentLayout_PointersAtSpecifiedOffsets) {
    const int n = 3, buf = 200000, frames = 30;
    Made m = Make("lay", 3, n, buf, frames);
    CMultiStreamSyncParser& p = *m.parser;
    auto* base = static_cast<unsigned char*>(A::ShareMem(p));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(SegmentSize(A::Shmid(p)), static_cast<size_t>(n) * (buf + 24 + 40 * frames));
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(reinterpret_cast<unsigned char*>(A::Head(p, i)), base + 16 * i);
        EXPECT_EQ(reinterpret_cast<unsigned char*>(A::Cursor(p, i)), base + 16 * n + 8 * i);
        EXPECT_EQ(reinterpret_cast<unsigned char*>(A::Nodes(p, i)), base + 24 * n + 40 * frames * i);
        EXPECT_EQ(A::Ring(p, i), base + n * (24 + 40 * frames) + static_cast<size_t>(buf) * i);
    }
    // The last ring ends exactly at the segment's end: writing its last byte
    // must stay inside the mapping.
    A::Ring(p, n - 1)[buf - 1] = 0x5A;
    m.parser.reset();
    msspt::RemoveKeyFile(m.name, m.group);
}

TEST_F(ParserObject, KeyFile_NameAndGroupDigits) {
    Made a = Make("k", 3, 1, 196608, 4);
    const std::string path3 = "/tmp/." + a.name + "03";
    struct stat st;
    ASSERT_EQ(stat(path3.c_str(), &st), 0) << path3;
    EXPECT_EQ(st.st_mode & 0777, 0660u);  // the recorder's user and group only
    Made b = Make("k", 123, 1, 196608, 4);
    const std::string path123 = "/tmp/." + b.name + "123";
    EXPECT_EQ(stat(path123.c_str(), &st), 0) << path123;
    // Different key files give different segments.
    EXPECT_NE(A::Shmid(*a.parser), A::Shmid(*b.parser));
    a.parser.reset();
    b.parser.reset();
    msspt::RemoveKeyFile(a.name, 3);
    msspt::RemoveKeyFile(b.name, 123);
}

TEST_F(ParserObject, KeyFile_LeavesTheCallersFileMaskAlone) {
    const mode_t before = umask(022);
    Made m = Make("um", 1, 1, 196608, 4);
    const mode_t after = umask(before);
    EXPECT_EQ(after, 022u);
    m.parser.reset();
    msspt::RemoveKeyFile(m.name, 1);
}

TEST_F(ParserObject, KeyName_LongNameIsCutNotOverflowed) {
    // 40 characters of name: the key name keeps 27 characters.
    std::string name(40, 'q');
    name.replace(0, 6, msspt::UniqueName("l").substr(0, 6));
    auto p = std::make_unique<CMultiStreamSyncParser>(5, 1, name.data(), 196608, 4, nullptr, nullptr, 0);
    const std::string cut = "/tmp/." + name.substr(0, 27);
    struct stat st;
    EXPECT_EQ(stat(cut.c_str(), &st), 0) << cut;
    p.reset();
    unlink(cut.c_str());
}

TEST_F(ParserObject, SecondObject_AttachesWithoutClearing) {
    Made first = Make("sh", 2, 2, 196608, 8);
    CMultiStreamSyncParser& p1 = *first.parser;
    A::Head(p1, 1)->channel = 9;
    A::Head(p1, 1)->parseNum = 42;
    A::Cursor(p1, 1)->lastIndex = 5;
    A::Ring(p1, 0)[100] = 0xAB;

    auto second = std::make_unique<CMultiStreamSyncParser>(2, 2, first.name.data(), 196608, 8, nullptr,
                                                           nullptr, 0);
    CMultiStreamSyncParser& p2 = *second;
    EXPECT_EQ(A::Shmid(p2), A::Shmid(p1));
    EXPECT_EQ(A::Head(p2, 1)->channel, 9);
    EXPECT_EQ(A::Head(p2, 1)->parseNum, 42u);
    EXPECT_EQ(A::Cursor(p2, 1)->lastIndex, 5);
    EXPECT_EQ(A::Ring(p2, 0)[100], 0xAB);

    // The first object going away leaves the segment usable by the second.
    first.parser.reset();
    EXPECT_EQ(A::Head(p2, 1)->parseNum, 42u);
    A::Ring(p2, 1)[69999] = 1;
    const int shmid = A::Shmid(p2);
    second.reset();
    struct shmid_ds ds;
    EXPECT_NE(shmctl(shmid, IPC_STAT, &ds), 0) << "segment should be gone after the last object";
    msspt::RemoveKeyFile(first.name, 2);
}

TEST_F(ParserObject, LoneObject_StartsFromClearedSegment) {
    // A segment left behind with garbage and no attachment is cleared by the
    // object that finds itself alone on it.
    const std::string name = msspt::UniqueName("cl");
    const std::string path = "/tmp/." + name + "04";
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    const int size = 2 * (196608 + 24 + 40 * 6);
    const int shmid = shmget(ftok(path.c_str(), 'k'), size, IPC_CREAT | 0600);
    ASSERT_GE(shmid, 0);
    void* mem = shmat(shmid, nullptr, 0);
    ASSERT_NE(mem, reinterpret_cast<void*>(-1));
    std::memset(mem, 0xEE, size);
    shmdt(mem);

    auto p = std::make_unique<CMultiStreamSyncParser>(4, 2, const_cast<char*>(name.c_str()), 196608, 6,
                                                      nullptr, nullptr, 0);
    ASSERT_EQ(A::Shmid(*p), shmid);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(A::Head(*p, i)->channel, -1);
        EXPECT_EQ(A::Head(*p, i)->parseNum, 0u);
        EXPECT_EQ(A::Head(*p, i)->getNum, 0u);
        EXPECT_EQ(A::Head(*p, i)->state, 0);
        EXPECT_EQ(A::Head(*p, i)->reserved13, 1);
        EXPECT_EQ(A::Cursor(*p, i)->getIndex, 0u);
        EXPECT_EQ(A::Cursor(*p, i)->lastIndex, -1);
        EXPECT_EQ(A::Ring(*p, i)[12345], 0);
        EXPECT_EQ(A::Nodes(*p, i)[5].pts, 0u);
    }
    p.reset();
    unlink(path.c_str());
}

TEST_F(ParserObject, StateAfterConstruction) {
    int marker = 0;
    MSSP_StreamOperation_t ops{};
    ops.CloseStream = [](void*, int, int) { return 0; };
    Made m = Make("st", 1, 4, 200000, 10, &ops, &marker);
    CMultiStreamSyncParser& p = *m.parser;
    EXPECT_EQ(A::Status(p), MSSP_STATUS_STOP);
    EXPECT_EQ(A::Running(p), 0);
    EXPECT_EQ(A::StreamNum(p), 4);
    EXPECT_EQ(A::User(p), &marker);
    EXPECT_EQ(A::TavuGrpId(p), 7);
    EXPECT_EQ(A::Operation(p).CloseStream, ops.CloseStream);
    EXPECT_EQ(A::Operation(p).OpenStream, nullptr);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(A::LastTime(p)[k], 255);
    for (int i = 0; i < MSSP_MAX_STREAMS; ++i) {
        EXPECT_EQ(A::JumpLevel(p, i), 14);
        EXPECT_EQ(A::Parser(p, i).EndPos, 200000u - 1);
        EXPECT_EQ(A::Parser(p, i).ReadPos, 0u);
        EXPECT_EQ(A::Parser(p, i).pFrameInfo, nullptr);
        EXPECT_EQ(A::CurStreamType(p, i), 0);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(A::StreamTime(p, i)[k], 255);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(A::LastPts(p)[i], 0u);
        EXPECT_EQ(A::PtsAdjust(p, i), nullptr);
        EXPECT_EQ(A::WaitIFrame(p, i), 0);
        for (int t = 0; t < 3; ++t) EXPECT_EQ(A::StreamFd(p, t, i), -1);
    }
    m.parser.reset();
    msspt::RemoveKeyFile(m.name, 1);
}

TEST_F(ParserObject, NullOperationsTable_AllSlotsNull) {
    Made m = Make("nul", 1, 1, 196608, 4);
    const MSSP_StreamOperation_t& ops = A::Operation(*m.parser);
    const void* const* slots = reinterpret_cast<const void* const*>(&ops);
    for (int s = 0; s < 9; ++s) EXPECT_EQ(slots[s], nullptr) << "slot " << s;
    m.parser.reset();
    msspt::RemoveKeyFile(m.name, 1);
}

TEST_F(ParserObject, DeviceGroup_FromProductGroupString) {
    struct Case {
        Json::Value value;
        int group;
    };
    const Case cases[] = {{"BUS", 2}, {"ITS", 1}, {"ANT", 3},       {"bus", 0},
                          {"ANTX", 0}, {42, 0},   {Json::Value(), 0}};
    for (const Case& c : cases) {
        Json::Value spec(Json::objectValue);
        if (!c.value.isNull()) spec["PRODUCT_GROUP"] = c.value;
        Kelto_SetSpecInfo(spec);
        EXPECT_EQ(GetDeviceGroup(), c.group) << c.value.toStyledString();
    }
    Json::Value spec(Json::objectValue);
    spec["PRODUCT_GROUP"] = "ANT";
    Kelto_SetSpecInfo(spec);
    Kelto_SetFailure(0, -1);
    EXPECT_EQ(GetDeviceGroup(), 0) << "a failing platform query gives group 0";
    Kelto_SetFailure(0, 0);

    // The constructor publishes the group for the whole process.
    Made m = Make("dg", 1, 1, 196608, 4);
    EXPECT_EQ(g_DeviceGroup, 3);
    m.parser.reset();
    Kelto_SetSpecInfo(Json::Value(Json::objectValue));
    Made n = Make("dh", 1, 1, 196608, 4);
    EXPECT_EQ(g_DeviceGroup, 0);
    n.parser.reset();
    msspt::RemoveKeyFile(m.name, 1);
    msspt::RemoveKeyFile(n.name, 1);
}

TEST_F(ParserObject, ProductTypeFailure_IsLoggedAndConstructionGoesOn) {
    Kelto_SetFailure(-5, 0);
    Made m = Make("pt", 1, 2, 196608, 4);
    EXPECT_NE(A::ShareMem(*m.parser), nullptr);
    m.parser.reset();
    msspt::RemoveKeyFile(m.name, 1);
}

using ParserObjectDeathTest = ParserObject;

// Death tests read the child's standard error; the parser reports on
// standard output, so the child sends that to standard error first.
#define EXPECT_PARSER_EXIT(ctorArgs, pattern)                                          \
    EXPECT_EXIT(                                                                       \
        {                                                                              \
            dup2(2, 1);                                                                \
            CMultiStreamSyncParser doomed ctorArgs;                                    \
        },                                                                             \
        ::testing::ExitedWithCode(1), pattern)

// Under a user-mode emulator (cross build) the child cannot re-execute this
// program, so it forks without exec there.
#ifdef MSSP_TEST_EMULATOR
constexpr const char* kDeathStyle = "fast";
#else
constexpr const char* kDeathStyle = "threadsafe";
#endif

TEST_F(ParserObjectDeathTest, BadStreamCount_EndsWithFailureStatus) {
    GTEST_FLAG_SET(death_test_style, kDeathStyle);
    const std::string name = msspt::UniqueName("d");
    EXPECT_PARSER_EXIT((1, 0, const_cast<char*>(name.c_str()), 196608, 4, nullptr, nullptr, 0), "invalid stream num:0");
    EXPECT_PARSER_EXIT((1, 33, const_cast<char*>(name.c_str()), 196608, 4, nullptr, nullptr, 0), "invalid stream num:33");
}

TEST_F(ParserObjectDeathTest, BadRingSizes_EndWithFailureStatus) {
    GTEST_FLAG_SET(death_test_style, kDeathStyle);
    const std::string name = msspt::UniqueName("e");
    char* n = const_cast<char*>(name.c_str());
    EXPECT_PARSER_EXIT((1, 1, n, 0, 4, nullptr, nullptr, 0), "invalid ring size");
    // One byte short of three reads: a pack of a read's size would stall it.
    EXPECT_PARSER_EXIT((1, 1, n, 3 * 65536 - 1, 4, nullptr, nullptr, 0), "invalid ring size");
    EXPECT_PARSER_EXIT((1, 1, n, 196608, -1, nullptr, nullptr, 0), "invalid ring size");
    // 32 streams of 100 MB overflow a signed 32-bit size.
    EXPECT_PARSER_EXIT((1, 32, n, 100000000, 4, nullptr, nullptr, 0), "invalid ring size");
}

// A segment already under the key: replaced when nobody uses it and its size
// is not this object's (a killed player's), refused when in use and too small.
TEST_F(ParserObjectDeathTest, ExistingSegment_StaleReplaced_TooSmallInUseRefused) {
    GTEST_FLAG_SET(death_test_style, kDeathStyle);
    const std::string name = msspt::UniqueName("old");
    char* n = const_cast<char*>(name.c_str());
    const std::string path = "/tmp/." + name + "01";
    close(open(path.c_str(), O_RDWR | O_CREAT, 0600));
    const key_t key = ftok(path.c_str(), 'k');
    const int stale = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(stale, 0);
    auto p = std::make_unique<CMultiStreamSyncParser>(1, 1, n, 196608, 4, nullptr, nullptr, 0);
    EXPECT_NE(A::Shmid(*p), stale);
    EXPECT_EQ(SegmentSize(A::Shmid(*p)), 196608u + 24 + 40 * 4);
    p.reset();
    const int small = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(small, 0);
    void* at = shmat(small, nullptr, 0);
    EXPECT_PARSER_EXIT((1, 1, n, 196608, 4, nullptr, nullptr, 0), "holds 4096 bytes");
    shmdt(at);
    shmctl(small, IPC_RMID, nullptr);
    msspt::RemoveKeyFile(name, 1);
}

TEST_F(ParserObject, StreamCountBounds_OneAndThirtyTwoAccepted) {
    Made one = Make("b1", 1, 1, 196608, 2);
    Made all = Make("b32", 1, 32, 196608, 2);
    EXPECT_EQ(A::StreamNum(*one.parser), 1);
    EXPECT_EQ(A::StreamNum(*all.parser), 32);
    one.parser.reset();
    all.parser.reset();
    msspt::RemoveKeyFile(one.name, 1);
    msspt::RemoveKeyFile(all.name, 1);
}
