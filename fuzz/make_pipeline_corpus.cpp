// Writes the seed corpus of the whole-pipeline fuzz target from pack-writer
// packs, in the input layout of PipelineInput.h. Usage:
//   fuzz_make_pipeline_corpus <directory>   (fuzz/corpus/fuzz_pipeline)
#include <cstdio>
#include <string>
#include <vector>

#include "PackWriter.h"
#include "PipelineInput.h"

namespace pw = packwriter;
using fuzzpipe::Header;

namespace {

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

const pw::DateTime kTime{26, 5, 6, 7, 8, 9};

pw::Bytes Video(int kind, uint64_t pts, size_t payloadLen, uint32_t seed, uint8_t channel = 0) {
    pw::NewPack p;
    p.kind = kind == 0 ? pw::kIFrame : pw::kPFrame;
    p.channel = channel;
    p.video = pw::VideoInfo{704, 576, 25};
    p.pts = pts;
    if (kind == 0) p.time = kTime;
    p.flag = true;
    p.ref = pw::RefInfo{2, static_cast<uint8_t>(pts / 40 % 32)};
    return pw::MakeNewPack(p, pw::PatternPayload(payloadLen, seed));
}

pw::Bytes Audio(uint64_t pts, size_t payloadLen, uint32_t seed) {
    pw::NewPack p;
    p.kind = pw::kAudio;
    p.pts = pts;
    p.time = kTime;
    p.flag = true;
    return pw::MakeNewPack(p, pw::PatternPayload(payloadLen, seed));
}

void Append(pw::Bytes& out, const pw::Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }

// Two GOPs of an I-frame and three P-frames.
pw::Bytes Gops(uint32_t seed, bool audio) {
    pw::Bytes rec;
    uint64_t pts = 40000;
    for (int g = 0; g < 2; ++g) {
        for (int f = 0; f < 4; ++f, pts += 40) {
            Append(rec, Video(f == 0 ? 0 : 1, pts, f == 0 ? 900 : 250, seed++));
            if (audio) Append(rec, Audio(pts + 20, 64, seed++));
        }
    }
    return rec;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    bool ok = true;

    Header plain;
    plain.nodes = 11;
    ok &= Write(dir + "new_two_gops", fuzzpipe::Encode(plain, Gops(1, false)));

    // Small uneven reads, a second segment that carries audio, garbage and a
    // pack with a bad checksum between good ones.
    Header segs;
    segs.mode = fuzzpipe::kFlagFirstRead;
    segs.nodes = 6;
    segs.audioBits = 0x02;
    segs.segMask = 1u << 5;
    segs.consumerSeed = 77;
    const uint16_t uneven[] = {700, 1300, 50, 4000, 9, 333, 2048, 120};
    for (int k = 0; k < fuzzpipe::kChunkCount; ++k) segs.chunks[k] = uneven[k];
    pw::Bytes mixed = Gops(10, true);
    Append(mixed, {0x01, 0x02, 0x03, 0x11});
    pw::NewPack bad;
    bad.kind = pw::kPFrame;
    bad.pts = 41000;
    bad.checksum = 0x5A;
    Append(mixed, pw::MakeNewPack(bad, pw::PatternPayload(100, 99)));
    Append(mixed, Gops(30, true));
    ok &= Write(dir + "new_segments_audio_damage", fuzzpipe::Encode(segs, mixed));

    // Old format: video packs of layout 1087 and an audio pack.
    Header old;
    old.mode = fuzzpipe::kOldFormat;
    old.nodes = 15;
    pw::Bytes oldRec;
    for (int f = 0; f < 5; ++f) {
        pw::OldVideoPack v;
        v.kind = f == 0 ? pw::kIFrame : pw::kPFrame;
        v.ptsUs = 1000000ull + 40000ull * f;
        v.time = kTime;
        v.width = 704;
        v.height = 576;
        Append(oldRec, pw::MakeOldVideoPack(v, pw::PatternPayload(300, 50 + f)));
        Append(oldRec, pw::MakeOldAudioPack(0, 1, pw::PatternPayload(40, 60 + f)));
    }
    ok &= Write(dir + "old_video_audio", fuzzpipe::Encode(old, oldRec));

    // Trick play: every I-frame read returns one whole pack.
    Header trick;
    trick.mode = fuzzpipe::kTrick;
    trick.speed = 1;
    pw::Bytes iframes;
    for (int k = 0; k < 3; ++k) {
        const pw::Bytes pack = Video(0, 50000 + 1000 * k, 600 + 200 * k, 70 + k);
        trick.chunks[k] = static_cast<uint16_t>(pack.size());
        Append(iframes, pack);
    }
    ok &= Write(dir + "trick_forward_three_iframes", fuzzpipe::Encode(trick, iframes));
    trick.mode = fuzzpipe::kTrick | fuzzpipe::kTrickBackward | fuzzpipe::kBackward;
    ok &= Write(dir + "trick_backward_three_iframes", fuzzpipe::Encode(trick, iframes));

    // Zero filler that brings the data close to the ring's end, so that
    // 1000-byte reads wrap early and packs lie in two pieces; two streams.
    Header wrap;
    wrap.mode = fuzzpipe::kTwoStreams;
    wrap.filler = 246;
    wrap.nodes = 9;
    for (uint16_t& c : wrap.chunks) c = 1000;
    pw::Bytes wrapRec = Gops(40, false);
    Append(wrapRec, Gops(50, false));
    ok &= Write(dir + "wrap_two_streams", fuzzpipe::Encode(wrap, wrapRec));

    if (!ok) {
        std::fprintf(stderr, "could not write the corpus under %s\n", argv[1]);
        return 1;
    }
    return 0;
}
