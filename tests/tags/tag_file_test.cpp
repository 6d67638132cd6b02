// The tag bridge through the whole plug-in, as the host and the guest use it:
// the stand-in mp3infp.dll is loaded first, the plug-in is started with no
// guest, a track is started, and the file-name query (WM_USER, 211) is sent
// to the emulated player window from the test's threads.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "emulation/player_window.h"
#include "support/plugin_host.h"
#include "support/tag_file_reader.h"
#include "support/tag_library.h"

using namespace testing_support;

namespace {

const char* const Song = "Z:\\music\\song.mp3";

class TagFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tags_.Loaded());
        tags_.Reset();
        // No guest: the DLL folder is an empty one.
        ASSERT_TRUE(SetDllDirectoryA(noGuest_.Path().c_str()));
        ASSERT_TRUE(plugin_.Loaded());
        ASSERT_EQ(0, plugin_.Init());
        started_ = true;
        ASSERT_TRUE(WaitUntil([this] {
            window_ = FindPlayerWindow();
            return window_ != NULL;
        }));
    }
    void TearDown() override
    {
        if (started_) {
            EXPECT_EQ(0, plugin_.Quit());
        }
        SetDllDirectoryA(NULL);
    }
    const char* AskFile() { return (const char*)Query(window_, 0, QueryPlaylistFile); }
    std::string TagBytes() { return ReadWholeFile(plugin_.TagFile()); }
    bool TagFileExists()
    {
        return GetFileAttributesA(plugin_.TagFile().c_str()) !=
               INVALID_FILE_ATTRIBUTES;
    }
    // Answers with the plug-in's own path buffer, which names the tag file.
    void ExpectTagPathAnswer(const char* answer)
    {
        ASSERT_NE(nullptr, answer);
        EXPECT_STRCASEEQ(plugin_.TagFile().c_str(), answer);
    }

    FakeTagsLibrary& tags_ = Tags();
    TempDir noGuest_;
    LoadedPlugin plugin_;
    bool started_ = false;
    HWND window_ = NULL;
    LONG faultsBefore_ = 0;
};


TEST_F(TagFileTest, QueryWritesTheTagFileAndAnswersItsPath)
{
    tags_.SetPlainFile(Song, 5, "Artist", "Album", "Title");
    ASSERT_EQ(0, plugin_.TrackStart(1, Song, 180000));
    const char* answer = AskFile();
    ExpectTagPathAnswer(answer);
    // The very buffer inside the plug-in, which the guest reads directly.
    const char* base = (const char*)plugin_.Module();
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(
        base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    EXPECT_GE(answer, base);
    EXPECT_LT(answer, base + nt->OptionalHeader.SizeOfImage);
    EXPECT_EQ(Texts("Artist", "Title", "Album"), ReadTagFile(TagBytes()));
    std::vector<std::string> expected = ReadPrologue(Song);
    expected.push_back("GetValue(IART)");
    expected.push_back("GetValue(IPRD)");
    expected.push_back("GetValue(INAM)");
    EXPECT_EQ(expected, tags_.Calls());

    // The same answer again, and a byte-identical file with a new read.
    EXPECT_EQ(answer, AskFile());
    EXPECT_EQ(Texts("Artist", "Title", "Album"), ReadTagFile(TagBytes()));
    EXPECT_EQ(12u, tags_.Calls().size());
}

TEST_F(TagFileTest, FailedQueriesAnswerNullAndKeepTheEarlierFile)
{
    // No file before the first successful query.
    EXPECT_EQ(nullptr, AskFile());   // no track: the empty path is refused
    EXPECT_FALSE(TagFileExists());
    EXPECT_EQ(std::vector<std::string>{"Load()"}, tags_.Calls());

    tags_.SetPlainFile(Song, 8, "Art", "Alb", "Tit");
    ASSERT_EQ(0, plugin_.TrackStart(1, Song, 1000));
    ExpectTagPathAnswer(AskFile());
    const std::string good = TagBytes();
    ASSERT_EQ(Texts("Art", "Tit", "Alb"), ReadTagFile(good));

    tags_.SetFile(Song, 3, 8);   // the library refuses the file
    EXPECT_EQ(nullptr, AskFile());
    EXPECT_EQ(good, TagBytes());

    tags_.SetFile(Song, 0, 6);   // a type the system does not handle
    EXPECT_EQ(nullptr, AskFile());
    EXPECT_EQ(good, TagBytes());

    const char* other = "Z:\\music\\missing.mp3";   // unscripted: refused
    ASSERT_EQ(0, plugin_.TrackStart(2, other, 1000));
    EXPECT_EQ(nullptr, AskFile());
    EXPECT_EQ(good, TagBytes());

    tags_.Reset();
    ASSERT_EQ(0, plugin_.TrackStop(2));   // the current path is now empty
    EXPECT_EQ(nullptr, AskFile());
    EXPECT_EQ(good, TagBytes());
    EXPECT_EQ(std::vector<std::string>{"Load()"}, tags_.Calls());
}

TEST_F(TagFileTest, HighBytesAndFullLengthTextsAreWrittenUnchanged)
{
    std::string artist = "\x83\x65\x83\x8B\x83\x7B\x81\x40\x80\xFF\xA0\xDF";
    std::string full(255, '\x82');   // 255 lead bytes fit whole
    std::string album(255, 'b');
    std::string title = std::string(254, 't') + "\x82\xA0" + "cut";
    tags_.SetPlainFile(Song, 7, artist.c_str(), album.c_str(), title.c_str());
    ASSERT_EQ(0, plugin_.TrackStart(1, Song, 1000));
    ExpectTagPathAnswer(AskFile());
    EXPECT_EQ(Texts(artist, std::string(254, 't'), album), ReadTagFile(TagBytes()));

    tags_.SetPlainFile(Song, 7, full.c_str(), album.c_str(), full.c_str());
    ExpectTagPathAnswer(AskFile());
    std::string bytes = TagBytes();
    EXPECT_EQ(823u, bytes.size());
    EXPECT_EQ(Texts(full, full, album), ReadTagFile(bytes));
}

TEST_F(TagFileTest, TagFileThatCannotBeOpenedGivesNullAndKeepsItsBytes)
{
    tags_.SetPlainFile(Song, 5, "Art", "Alb", "Tit");
    ASSERT_EQ(0, plugin_.TrackStart(1, Song, 1000));
    const std::string old = "not a tag file";
    std::string path = plugin_.TagFile();
    faultsBefore_ = FaultCount();

    // Held open elsewhere without sharing.
    ASSERT_TRUE(WriteWholeFile(path, old));
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_EQ(nullptr, AskFile());
    CloseHandle(holder);
    EXPECT_EQ(old, TagBytes());

    // A folder in the tag file's place: no platform lets it be created.
    ASSERT_TRUE(DeleteFileA(path.c_str()));
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), NULL));
    EXPECT_EQ(nullptr, AskFile());
    ASSERT_TRUE(RemoveDirectoryA(path.c_str()));
    ASSERT_TRUE(WriteWholeFile(path, old));

    // Read-only. Windows refuses to open it for writing; Wine maps the
    // attribute to the Unix write permission, which does not hold back a
    // process running as root. Either answer is sound: null with the old
    // bytes, or the path with the whole new file.
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    const char* answer = AskFile();
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    if (answer == NULL) {
        EXPECT_EQ(old, TagBytes());
    } else {
        ExpectTagPathAnswer(answer);
        EXPECT_EQ(Texts("Art", "Tit", "Alb"), ReadTagFile(TagBytes()));
        printf("note: the read-only tag file was rewritten (root under Wine)\n");
        ASSERT_TRUE(WriteWholeFile(path, old));
    }
    EXPECT_EQ(0, FaultCount() - faultsBefore_);

    // Writable again: the next query rewrites it whole.
    ExpectTagPathAnswer(AskFile());
    EXPECT_EQ(Texts("Art", "Tit", "Alb"), ReadTagFile(TagBytes()));
}

// A host thread rewrites and clears the current path while a guest thread
// keeps asking for the file. Every read must see one whole path: the library
// is only ever asked for A, B or the empty path, and every written file is
// A's or B's.
TEST_F(TagFileTest, PathRewrittenDuringQueriesIsNeverSeenHalfWay)
{
    // Long paths of equal length, differing in every character that a torn
    // copy could mix.
    const std::string pathA = "Z:\\" + std::string(250, 'a') + ".mp3";
    const std::string pathB = "Z:\\" + std::string(250, 'b') + ".mp3";
    ASSERT_EQ(257u, pathA.size());
    tags_.SetPlainFile(pathA, 5, "ArtistA", "AlbumA", "TitleA");
    tags_.SetPlainFile(pathB, 8, "B", "B-album-longer", "B-title");
    const TagFileTexts fileA = Texts("ArtistA", "TitleA", "AlbumA");
    const TagFileTexts fileB = Texts("B", "B-title", "B-album-longer");

    std::atomic<bool> done(false);
    std::atomic<int> hostRounds(0);
    TestThread host([&] {
        while (!done.load()) {
            plugin_.TrackStart(1, pathA.c_str(), 1000);
            plugin_.TrackStart(2, pathB.c_str(), 1000);
            plugin_.TrackStop(2);
            ++hostRounds;
        }
    });
    const int queries = 400;
    int answered = 0, refused = 0, mixed = 0;
    TestThread guest([&] {
        for (int i = 0; i < queries; ++i) {
            const char* answer = AskFile();
            if (answer == NULL) {
                ++refused;
                continue;
            }
            ++answered;
            TagFileTexts texts = ReadTagFile(TagBytes());
            if (!(texts == fileA) && !(texts == fileB))
                ++mixed;
        }
    });
    ASSERT_TRUE(guest.Join(60000)) << "queries hung";
    done = true;
    ASSERT_TRUE(host.Join(20000)) << "host thread hung";

    EXPECT_EQ(queries, answered + refused);
    EXPECT_EQ(0, mixed);
    std::set<std::string> loads;
    for (const std::string& call : tags_.Calls())
        if (call.compare(0, 5, "Load(") == 0)
            loads.insert(call);
    std::set<std::string> allowed = {"Load(" + pathA + ")",
                                     "Load(" + pathB + ")", "Load()"};
    for (const std::string& load : loads)
        EXPECT_TRUE(allowed.count(load)) << "torn path: " << load;
    printf("host rounds %d, answered %d, refused %d\n", hostRounds.load(),
           answered, refused);
}

// The same race at a higher rate: paths that the library refuses make each
// query short (no file is written), so many more reads meet a rewrite.
TEST_F(TagFileTest, RefusedPathsRewrittenDuringQueriesAreNeverSeenHalfWay)
{
    const std::string pathA = "Z:\\" + std::string(250, 'a') + ".mp3";
    const std::string pathB = "Z:\\" + std::string(250, 'b') + ".mp3";
    std::atomic<bool> done(false);
    std::atomic<int> hostRounds(0);
    TestThread host([&] {
        DWORD track = 0;
        while (!done.load()) {
            ++track;
            plugin_.TrackStart(track, (track & 1) ? pathA.c_str() : pathB.c_str(), 1000);
            if ((track & 7) == 0)
                plugin_.TrackStop(track);
            ++hostRounds;
        }
    });
    const int queries = 4000;
    int answered = 0;
    TestThread guest([&] {
        for (int i = 0; i < queries; ++i)
            if (AskFile() != NULL)
                ++answered;
    });
    ASSERT_TRUE(guest.Join(60000)) << "queries hung";
    done = true;
    ASSERT_TRUE(host.Join(20000)) << "host thread hung";
    EXPECT_EQ(0, answered);
    std::set<std::string> allowed = {"Load(" + pathA + ")",
                                     "Load(" + pathB + ")", "Load()"};
    int torn = 0;
    for (const std::string& call : tags_.Calls())
        if (!allowed.count(call)) {
            ++torn;
            printf("torn: %s\n", call.c_str());
        }
    EXPECT_EQ(0, torn);
    printf("host rounds %d, queries %d, torn %d\n", hostRounds.load(), queries, torn);
}

// The plug-in loaded from a path of a chosen length: the tag-file path is the
// module path with "mp3" for its last three characters while it fits in 259
// characters; a module path that GetModuleFileNameA can only give cut leaves
// no tag-file path, and every file query answers null.
class LongPathPlugin {
public:
    explicit LongPathPlugin(size_t dllPathLength)
    {
        // Nested folders below a fresh one, so that the DLL's full path has
        // exactly the length asked for. Wide functions with the \\?\ prefix
        // reach past 259 characters.
        std::string base = dir_.Path();
        std::string dll = "\\tebo_wrapper.dll";
        size_t fill = dllPathLength - base.size() - dll.size();
        std::string path = base;
        while (fill > 0) {
            size_t part = fill > 101 ? 100 : fill - 1;   // '\' + name
            if (fill - part - 1 == 1)                   // never leave 1
                --part;
            path += "\\" + std::string(part, 'd');
            folders_.push_back(path);
            EXPECT_TRUE(CreateDirectoryW(Wide(path).c_str(), NULL)) << path.size();
            fill -= part + 1;
        }
        dllPath_ = path + dll;
        EXPECT_EQ(dllPathLength, dllPath_.size());
        std::wstring source = Wide(TEBO_PLUGIN_PATH, false);
        for (wchar_t& c : source)
            if (c == L'/')
                c = L'\\';
        EXPECT_TRUE(CopyFileW(source.c_str(), Wide(dllPath_).c_str(), FALSE));
        HMODULE module = LoadLibraryW(Wide(dllPath_).c_str());
        EXPECT_NE(nullptr, module) << GetLastError();
        if (module != NULL)
            plugin_.reset(new LoadedPlugin(module, dllPath_));
    }
    ~LongPathPlugin()
    {
        plugin_.reset();
        std::string mp3 = dllPath_.substr(0, dllPath_.size() - 3) + "mp3";
        DeleteFileW(Wide(mp3).c_str());
        DeleteFileW(Wide(dllPath_).c_str());
        for (size_t i = folders_.size(); i > 0; --i)
            RemoveDirectoryW(Wide(folders_[i - 1]).c_str());
    }
    bool Loaded() const { return plugin_ && plugin_->Loaded(); }
    const std::string& DllPath() const { return dllPath_; }
    LoadedPlugin& Plugin() { return *plugin_; }
    static std::wstring Wide(const std::string& path, bool prefix = true)
    {
        std::wstring out = prefix ? L"\\\\?\\" : L"";
        for (char c : path)
            out += (wchar_t)(unsigned char)c;
        return out;
    }

private:
    TempDir dir_;
    std::vector<std::string> folders_;
    std::string dllPath_;
    std::unique_ptr<LoadedPlugin> plugin_;
};

class TagFilePathTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tags_.Loaded());
        tags_.Reset();
        tags_.SetPlainFile(Song, 5, "A", "B", "T");
        ASSERT_TRUE(SetDllDirectoryA(noGuest_.Path().c_str()));
    }
    void TearDown() override { SetDllDirectoryA(NULL); }
    // Starts the plug-in, plays Song and asks for the file once.
    const char* StartAndAsk(LoadedPlugin& plugin)
    {
        EXPECT_EQ(0, plugin.Init());
        HWND window = NULL;
        EXPECT_TRUE(WaitUntil([&] { return (window = FindPlayerWindow()) != NULL; }));
        EXPECT_EQ(0, plugin.TrackStart(1, Song, 1000));
        const char* answer =
            window != NULL ? (const char*)Query(window, 0, QueryPlaylistFile) : NULL;
        return answer;
    }
    FakeTagsLibrary& tags_ = Tags();
    TempDir noGuest_;
};

TEST_F(TagFilePathTest, ModulePathOf259CharactersGivesA259CharacterTagPath)
{
    LongPathPlugin plugin(259);
    ASSERT_TRUE(plugin.Loaded());
    const char* answer = StartAndAsk(plugin.Plugin());
    std::string expected = plugin.DllPath().substr(0, 256) + "mp3";
    ASSERT_NE(nullptr, answer);
    EXPECT_STRCASEEQ(expected.c_str(), answer);
    EXPECT_EQ(Texts("A", "T", "B"), ReadTagFile(ReadWholeFile(expected)));
    EXPECT_EQ(0, plugin.Plugin().Quit());
}

TEST_F(TagFilePathTest, ModulePathTooLongForTheBufferLeavesNoTagFile)
{
    for (size_t length : {260u, 290u}) {
        LongPathPlugin plugin(length);
        ASSERT_TRUE(plugin.Loaded()) << length;
        char got[MAX_PATH + 8];
        memset(got, 0, sizeof(got));
        HMODULE module = GetModuleHandleW(
            LongPathPlugin::Wide(plugin.DllPath(), false).c_str());
        DWORD n = GetModuleFileNameA(module, got, MAX_PATH);
        printf("module path of %u characters: GetModuleFileNameA gives %lu\n",
               (unsigned)length, n);
        EXPECT_EQ(nullptr, StartAndAsk(plugin.Plugin())) << length;
        // Nothing written beside the DLL, nor at the cut path.
        for (size_t cut : {length, (size_t)MAX_PATH}) {
            std::string mp3 = plugin.DllPath().substr(0, cut - 3) + "mp3";
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
                      GetFileAttributesW(LongPathPlugin::Wide(mp3).c_str()))
                << mp3;
        }
        EXPECT_EQ(0, plugin.Plugin().Quit());
        // No window left behind for the next round.
        EXPECT_EQ(nullptr, FindPlayerWindow());
    }
}

} // namespace
