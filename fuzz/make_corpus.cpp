// Writes the fuzzers' seed corpus from pack-writer packs: a few small inputs
// per target, in the input layouts the targets describe. Usage:
//   fuzz_make_corpus <directory holding fuzz_frame_header/ and fuzz_checksum/>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "PackWriter.h"

namespace pw = packwriter;

namespace {

bool Write(const std::string& path, const pw::Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// fuzz_frame_header input: format byte, u16 split, stream bytes.
pw::Bytes HeaderInput(bool old, unsigned split, const pw::Bytes& stream) {
    pw::Bytes in = {static_cast<uint8_t>(old ? 1 : 0), static_cast<uint8_t>(split), static_cast<uint8_t>(split >> 8)};
    in.insert(in.end(), stream.begin(), stream.end());
    return in;
}

// fuzz_checksum input: piece count - 1, u16 len, two u16 part lengths per
// piece, data.
pw::Bytes ChecksumInput(unsigned len, std::initializer_list<unsigned> partLens, size_t dataLen, uint32_t seed) {
    pw::Bytes in = {static_cast<uint8_t>(partLens.size() / 2 - 1), static_cast<uint8_t>(len),
                    static_cast<uint8_t>(len >> 8)};
    for (unsigned n : partLens) {
        in.push_back(static_cast<uint8_t>(n));
        in.push_back(static_cast<uint8_t>(n >> 8));
    }
    const pw::Bytes data = pw::PatternPayload(dataLen, seed);
    in.insert(in.end(), data.begin(), data.end());
    return in;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::string hdr = std::string(argv[1]) + "/fuzz_frame_header/";
    const std::string sum = std::string(argv[1]) + "/fuzz_checksum/";
    bool ok = true;

    pw::NewPack full;
    full.kind = pw::kIFrame;
    full.channel = 2;
    full.video = pw::VideoInfo{1280, 720, 30};
    full.pts = 86400000;
    full.time = pw::DateTime{24, 5, 6, 7, 8, 9};
    full.flag = true;
    full.ref = pw::RefInfo{2, 3};
    pw::Bytes stream = {'x', 'y', 'z'};
    pw::AppendNewPack(stream, full, pw::PatternPayload(40, 1).data(), 40);
    ok &= Write(hdr + "new_iframe_all_records", HeaderInput(false, 7, stream));

    pw::NewPack p;
    p.kind = pw::kPFrame;
    p.pts = 86400040;
    p.ref = pw::RefInfo{5, 11};
    p.extraExtension = {0x42, 8, 0, 0, 1, 2, 3, 4};
    p.recordCount = 3;
    ok &= Write(hdr + "new_pframe_unknown_record", HeaderInput(false, 14, pw::MakeNewPack(p, pw::PatternPayload(20, 2))));

    pw::Bytes two;
    pw::NewPack audio;
    audio.kind = pw::kAudio;
    audio.pts = 5;
    pw::AppendNewPack(two, audio, pw::PatternPayload(16, 3).data(), 16);
    pw::AppendNewPack(two, pw::NewPack{}, pw::PatternPayload(16, 4).data(), 16);
    ok &= Write(hdr + "new_audio_then_iframe", HeaderInput(false, 30, two));

    pw::OldVideoPack v1087;
    v1087.ptsUs = 123456789;
    v1087.time = pw::DateTime{23, 1, 2, 3, 4, 5};
    v1087.width = 704;
    v1087.height = 576;
    ok &= Write(hdr + "old_video_1087", HeaderInput(true, 100, pw::MakeOldVideoPack(v1087, pw::PatternPayload(20, 5))));

    pw::OldVideoPack v35;
    v35.kind = pw::kPFrame;
    v35.layoutCode = 35;
    v35.extLen = 40;
    v35.ptsUs = 1000;
    ok &= Write(hdr + "old_video_35", HeaderInput(true, 5, pw::MakeOldVideoPack(v35, pw::PatternPayload(16, 6))));

    pw::Bytes oldAudio = {'q', 'q'};
    pw::AppendOldAudioPack(oldAudio, 1, 7, pw::PatternPayload(24, 7).data(), 24);
    ok &= Write(hdr + "old_audio", HeaderInput(true, 3, oldAudio));

    ok &= Write(sum + "one_piece_abc", ChecksumInput(3, {3, 0}, 3, 8));
    ok &= Write(sum + "two_parts_300", ChecksumInput(300, {100, 200}, 300, 9));
    ok &= Write(sum + "three_pieces_step2", ChecksumInput(383, {50, 0, 0, 133, 150, 50}, 383, 10));
    if (!ok) {
        std::fprintf(stderr, "could not write the corpus under %s\n", argv[1]);
        return 1;
    }
    return 0;
}
