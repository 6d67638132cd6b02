// The demo's tag library (mp3infp.dll stand-in): its exports, the texts it
// reads from the bundled samples, and its behaviour with files it must
// refuse or that are broken.
#include <gtest/gtest.h>

#include <string.h>

#include "media_images.h"
#include "support/test_support.h"
#include "tools_test_support.h"

using namespace tools_testing;
using namespace media_images;

namespace {

// What the system's conversion makes of a UTF-16 text in the ANSI code page
// (Shift-JIS under a Japanese locale, '?' for Japanese under others).
std::string Ansi(const wchar_t* wide)
{
    char text[256] = "";
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), NULL, NULL);
    return text;
}

std::string Sample(const char* name)
{
    return DemoFile(std::string("samples/") + name);
}

const char* const AllNames[] = {
    "IART_v2", "IPRD_v2", "INAM_v2", "ICRD_v2", "IGNR_v2", "TRACK_v2",
    "IART_v1", "IPRD_v1", "INAM_v1", "ICRD_v1", "ICMT_v1",
    "IART", "IPRD", "INAM", "ISBJ", "ICMT"};

} // namespace

TEST(TagLibraryStandIn, ExportsTheFourEntriesUndecoratedAsStdcall)
{
    TagLibrary library;
    ASSERT_TRUE(library.Loaded());
    for (const char* name : {"mp3infp_Load", "mp3infp_SetConf",
                             "mp3infp_GetType", "mp3infp_GetValue"})
        EXPECT_NE(nullptr, (void*)GetProcAddress(library.Module(), name)) << name;
    EXPECT_EQ(nullptr, (void*)GetProcAddress(library.Module(), "_mp3infp_Load@8"));
    // Every call below also checks the stack.
    EXPECT_TRUE(library.SetConf("wave_CodecFind", "0"));
    EXPECT_TRUE(library.SetConf("wave_CodecFind", "1"));
    EXPECT_FALSE(library.SetConf("no_such_option", "0"));
    EXPECT_FALSE(library.SetConf(nullptr, "0"));
}

TEST(TagLibraryStandIn, ReadsTheSamples)
{
    TagLibrary library;
    ASSERT_TRUE(library.Loaded());
    struct Expected {
        const char* file;
        uint32_t type;
        std::vector<std::pair<const char*, std::string>> values;
    };
    const Expected samples[] = {
        {"01-morning-light.mp3", 1,
         {{"IART_v2", "The Sample Makers"}, {"INAM_v2", "Morning Light"},
          {"IPRD_v2", "Demo Tones"}, {"TRACK_v2", "1"},
          {"IART_v1", "The Sample Makers"}, {"INAM_v1", "Morning Light"},
          {"IART", "<null>"}}},
        {"02-sakura-japanese.mp3", 1,
         {{"IART_v2", Ansi(L"\u3055\u304F\u3089\u30D0\u30F3\u30C9")},
          {"INAM_v2", Ansi(L"\u685C\u306E\u6B4C")},
          {"IPRD_v2", Ansi(L"\u65E5\u672C\u306E\u6625")},
          {"IART_v1", "<null>"}}},
        {"03-cafe-utf16.mp3", 1,
         {{"IART_v2", Ansi(L"Zo\u00EB \u00C5ngstr\u00F6m")},
          {"INAM_v2", Ansi(L"Caf\u00E9 Cr\u00E8me")}}},
        {"04-id3v1-only.mp3", 1,
         {{"IART_v1", "Old Timer"}, {"INAM_v1", "Version One"},
          {"IPRD_v1", "Classic Tags"}, {"IART_v2", "<null>"}}},
        {"05-no-tags.mp3", 1, {{"IART_v2", "<null>"}, {"INAM_v1", "<null>"}}},
        {"06-riff-info.wav", 2,
         {{"IART", "Wave Artist"}, {"IPRD", "Wave Album"}, {"INAM", "Wave Title"},
          {"ISBJ", "<null>"}, {"IART_v2", "<null>"}}},
        {"07-subject-only.wav", 2,
         {{"IART", "Subject Artist"}, {"INAM", "<null>"},
          {"ISBJ", "Title From Subject"}}},
    };
    for (const Expected& e : samples) {
        SCOPED_TRACE(e.file);
        ASSERT_EQ(0u, library.Load(Sample(e.file).c_str()));
        EXPECT_EQ(e.type, library.GetType());
        for (const auto& v : e.values) {
            int ok = -1;
            EXPECT_EQ(v.second, library.Value(v.first, &ok)) << v.first;
            EXPECT_EQ(v.second != "<null>", ok != 0) << v.first;
        }
    }
}

TEST(TagLibraryStandIn, RefusesWhatItCannotRead)
{
    testing_support::TempDir dir;
    std::string text = dir.File("notes.mp3");
    ASSERT_TRUE(testing_support::WriteWholeFile(text, "these are no sounds"));
    TagLibrary library;
    ASSERT_TRUE(library.Loaded());
    const std::string missing = dir.File("missing.mp3");
    for (const char* path : {text.c_str(), missing.c_str(), "", (const char*)nullptr}) {
        // A readable file first, so that the refusal has something to forget.
        ASSERT_EQ(0u, library.Load(Sample("01-morning-light.mp3").c_str()));
        EXPECT_NE(0u, library.Load(path)) << (path ? path : "(null)");
        EXPECT_EQ(0u, library.GetType());
        int ok = -1;
        EXPECT_EQ("<null>", library.Value("INAM_v2", &ok));
        EXPECT_EQ(0, ok);
    }
    EXPECT_EQ(0u, library.Load(Sample("06-riff-info.wav").c_str()));
    EXPECT_EQ("<null>", library.Value(nullptr));
}

TEST(TagLibraryStandIn, SurvivesBrokenFiles)
{
    // A corpus of broken files, made here from valid images: cut at many
    // points, sizes that point past the end, garbage. Each is either refused
    // or read, and every text it gives is a proper string.
    Bytes mp3 = Id3Tag(3, 0, Id3Frame(3, "TPE1", TextBody(1, Bytes("\xFF\xFEX\0", 4))) +
                                 Id3Frame(3, "TIT2", TextBody(0, "Title"))) +
                Mpeg1Frames(4) + Id3v1("t", "a", "b");
    Bytes wav = Wav(64, {{"IART", "Artist"}, {"INAM", "Name"}});
    std::vector<Bytes> corpus;
    for (const Bytes& seed : {mp3, wav}) {
        for (size_t n = 0; n < seed.size(); n += 7)
            corpus.push_back(seed.substr(0, n));
    }
    Bytes huge = mp3;
    huge.replace(6, 4, Bytes("\x7F\x7F\x7F\x7F", 4));   // tag size 256 MB
    corpus.push_back(huge);
    Bytes frame = mp3;
    frame.replace(14, 4, BigEndian32(0xFFFFFFFF));      // first frame's size
    corpus.push_back(frame);
    Bytes riff = wav;
    riff.replace(4, 4, LittleEndian32(0xFFFFFFFF));
    riff.replace(16, 4, LittleEndian32(0xFFFFFFF0));    // "fmt " size
    corpus.push_back(riff);
    Bytes syncs;
    for (int i = 0; i < 512; ++i)
        syncs += Bytes{(char)0xFF, (char)0xFB};
    corpus.push_back(syncs);
    uint32_t seed = 12345;
    Bytes noise(4096, '\0');
    for (char& c : noise) {
        seed = seed * 1103515245u + 12345u;
        c = (char)(seed >> 16);
    }
    corpus.push_back(noise);
    corpus.push_back("ID3");
    corpus.push_back("RIFF");

    testing_support::TempDir dir;
    TagLibrary library;
    ASSERT_TRUE(library.Loaded());
    int read = 0;
    for (size_t i = 0; i < corpus.size(); ++i) {
        std::string path = dir.File("broken" + std::to_string(i) + ".bin");
        ASSERT_TRUE(testing_support::WriteWholeFile(path, corpus[i]));
        if (library.Load(path.c_str()) != 0) {
            EXPECT_EQ(0u, library.GetType());
            continue;
        }
        ++read;
        uint32_t type = library.GetType();
        EXPECT_TRUE(type == 1 || type == 2) << i;
        for (const char* name : AllNames)
            EXPECT_LE(library.Value(name).size(), corpus[i].size()) << i << name;
    }
    EXPECT_GT(read, 10);
}
