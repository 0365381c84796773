// The tool over real folder trees in an asset build: folders it cannot read or name, links
// (symbolic and hard) met by --in-place, what a replace keeps of the old file, temporary files a
// killed run left, reports a script can map back to its files, and --update's idea of up to date.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <sstream>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> PictureOf(const std::string& path)
{
    TPictureData data;
    ReadPicture(path, data);
    return RgbBytes(data.Image);
}

std::vector<std::string> Files(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) names.push_back(entry.path().lexically_relative(dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Removes a tree of any depth, through descriptors (paths to its depths are too long to name).
void RemoveTree(int parent, const char* name)
{
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) {
        ::unlinkat(parent, name, 0);
        return;
    }
    DIR* dir = ::fdopendir(fd);
    while (const dirent* entry = ::readdir(dir))
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") RemoveTree(::dirfd(dir), entry->d_name);
    ::closedir(dir);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

struct stat StatusOf(const std::string& path)
{
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

class CliTreeSafety : public ::testing::Test {
protected:
    void SetUp() override { MakeSprite(image_, 12, 10); }

    std::string Sprite(const fs::path& path)
    {
        fs::create_directories(path.parent_path());
        WritePicture(path.string(), image_);
        return path.string();
    }

    // The result a single recolour of the sprite gives, for comparing.
    std::vector<uint8_t> Expected()
    {
        const std::string in = Sprite(dir_.Path() / "expected-in.png");
        const std::string out = dir_.File("expected.png");
        if (!fs::exists(out)) {
            EXPECT_EQ(RunCli({"recolour", "--from-hue", "0", "--target", "200", "-o", out, in}).Status, 0);
        }
        return PictureOf(out);
    }

    TempDir dir_;
    TBitmap image_;
};

const std::vector<std::string> Recolour = {"recolour", "--from-hue", "0", "--target", "200"};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// -r over a tree with a folder the user may not read: that folder fails, named as find names it,
// and everything else is done; alone, it still fails and --json reports it. Run as an ordinary
// user (root reads every folder).
TEST_F(CliTreeSafety, AFolderThatCannotBeReadFailsAloneAndIsNamed)
{
    if (!RunCliAsNobody({"--version"})) GTEST_SKIP() << "needs root to run the tool as an unprivileged user";
    fs::permissions(dir_.Path(), fs::perms::all, fs::perm_options::add);
    const fs::path in = dir_.Path() / "in";
    Sprite(in / "a.png");
    Sprite(in / "locked" / "b.png");
    Sprite(in / "z" / "c.png");
    fs::permissions(in / "locked", fs::perms::none);
    const fs::path out = dir_.Path() / "out";
    fs::create_directory(out);
    fs::permissions(out, fs::perms::all);
    const std::string locked = (in / "locked").string();

    const TCliRun run = *RunCliAsNobody(With(Recolour, {"-r", "--out-dir", out.string(), in.string()}));
    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_EQ(run.Err, locked + ": cannot read the folder: permission denied\n");
    EXPECT_EQ(Files(out), (std::vector<std::string>{"a.png", "z/c.png"}));

    const TCliRun alone = *RunCliAsNobody(With(Recolour, {"-r", "--json", "--out-dir", out.string(), locked}));
    EXPECT_EQ(alone.Status, 1);
    ASSERT_EQ(Lines(alone.Out).size(), 1u) << alone.Out;
    const nlohmann::json object = nlohmann::json::parse(alone.Out);
    EXPECT_EQ(object["file"], locked);
    EXPECT_EQ(object["status"], "failed");
    EXPECT_EQ(object["error"], "cannot read the folder: permission denied");

    // The dry run and info report it the same way.
    const TCliRun dry = *RunCliAsNobody(With(Recolour, {"-r", "--dry-run", "--json", in.string()}));
    EXPECT_EQ(dry.Status, 1);
    ASSERT_EQ(Lines(dry.Out).size(), 3u) << dry.Out;
    EXPECT_EQ(nlohmann::json::parse(Lines(dry.Out)[1])["error"], "cannot read the folder: permission denied");
    const TCliRun info = *RunCliAsNobody({"info", "-r", "--json", in.string()});
    EXPECT_EQ(info.Status, 1);
    ASSERT_EQ(Lines(info.Out).size(), 3u) << info.Out;
    EXPECT_EQ(nlohmann::json::parse(Lines(info.Out)[1])["file"], locked);
    EXPECT_TRUE(Contains(info.Err, locked + ": ")) << info.Err;
}

// A folder whose path is longer than the system takes (nested far deeper than PATH_MAX) fails
// alone and named, with --out-dir (whose longer root makes a shallower output path too long)
// and with --in-place, which makes no folder; every other file is done.
TEST_F(CliTreeSafety, APathLongerThanTheSystemAllowsFailsAlone)
{
    const fs::path in = dir_.Path() / "in";
    Sprite(in / "top.png");
    Sprite(in / "shallow" / "s.png");
    // Nested through descriptors: no path this long can be handed to the system whole.
    const std::string name(60, 'd');
    int fd = ::open(in.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::string path = in.string();
    std::string nearLimit; // the deepest folder whose path still fits, with a picture in it
    for (int depth = 0; depth < 100; ++depth) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        path += "/" + name;
        if (path.size() + 100 < PATH_MAX) nearLimit = path;
    }
    const int picture = ::openat(fd, "deep.png", O_WRONLY | O_CREAT, 0644);
    ::close(picture);
    ::close(fd);
    Sprite(fs::path(nearLimit) / "near.png");
    const std::string tooLong = nearLimit.substr(0, nearLimit.find_last_of('/')) + "/" + name + "/" + name;

    // The output root is longer than the input's: near.png's output folder is past the limit.
    const fs::path out = dir_.Path() / std::string(150, 'o');
    const TCliRun run = RunCli(With(Recolour, {"-r", "--out-dir", out.string(), in.string()}));
    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_TRUE(Contains(run.Err, ": cannot read the folder: the name is too long")) << run.Err;
    EXPECT_TRUE(Contains(run.Err, (fs::path(nearLimit) / "near.png").string() + ": cannot create the folder")) << run.Err;
    EXPECT_EQ(Files(out), (std::vector<std::string>{"shallow/s.png", "top.png"}));

    const auto before = ReadFileBytes(in / "top.png");
    const TCliRun inPlace = RunCli(With(Recolour, {"-r", "--in-place", in.string()}));
    EXPECT_EQ(inPlace.Status, 1) << inPlace.Err;
    EXPECT_TRUE(Contains(inPlace.Err, ": cannot read the folder: the name is too long")) << inPlace.Err;
    EXPECT_FALSE(Contains(inPlace.Err, "cannot create")) << inPlace.Err;
    EXPECT_EQ(PictureOf((in / "top.png").string()), Expected());
    EXPECT_EQ(PictureOf((fs::path(nearLimit) / "near.png").string()), Expected());
    EXPECT_NE(ReadFileBytes(in / "top.png"), before);
    RemoveTree(AT_FDCWD, in.c_str()); // too deep for the temporary folder's own clean-up
}

// --in-place through a symbolic link replaces the file it leads to, in that file's folder, and
// keeps the link; a link and its target in one walk are one file, replaced once (the run used to
// stop with a usage error naming the link).
TEST_F(CliTreeSafety, InPlaceThroughASymbolicLinkReplacesItsTargetOnce)
{
    const fs::path in = dir_.Path() / "in";
    const std::string hero = Sprite(in / "HERO.PNG");
    fs::create_symlink("HERO.PNG", in / "link_to_hero.png");
    const std::string elsewhere = Sprite(dir_.Path() / "shared" / "tile.png");
    fs::create_symlink("../shared/tile.png", in / "tile.png");

    const TCliRun run = RunCli(With(Recolour, {"-r", "-v", "--in-place", in.string()}));
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Err, (in / "link_to_hero.png").string() + ": the same file as " + hero)) << run.Err;
    EXPECT_TRUE(fs::is_symlink(in / "link_to_hero.png"));
    EXPECT_TRUE(fs::is_symlink(in / "tile.png"));
    EXPECT_EQ(PictureOf(hero), Expected()); // once: a second change would move other hues
    EXPECT_EQ(PictureOf(elsewhere), Expected());
    EXPECT_EQ(Files(dir_.Path() / "shared"), std::vector<std::string>{"tile.png"}); // nothing left beside it

    // Without --in-place an output that leads to an input is still refused, link and input kept.
    fs::create_symlink(hero, dir_.Path() / "out.png");
    const auto replaced = ReadFileBytes(hero);
    const TCliRun refused = RunCli(With(Recolour, {"--overwrite", "-o", dir_.File("out.png"), hero}));
    EXPECT_EQ(refused.Status, 1) << refused.Err;
    EXPECT_TRUE(Contains(refused.Err, "is an input file")) << refused.Err;
    EXPECT_TRUE(fs::is_symlink(dir_.Path() / "out.png"));
    EXPECT_EQ(ReadFileBytes(hero), replaced);

    // A link in a tree mirrored with --out-dir becomes a file of its own name.
    const fs::path out = dir_.Path() / "mirror";
    ASSERT_EQ(RunCli(With(Recolour, {"-r", "--out-dir", out.string(), in.string()})).Status, 0);
    EXPECT_EQ(Files(out), (std::vector<std::string>{"HERO.PNG", "link_to_hero.png", "tile.png"}));
    EXPECT_FALSE(fs::is_symlink(out / "link_to_hero.png"));
}

// A file of several hard links is refused by --in-place, nothing changed, unless
// --break-hard-links asks to replace it under the one name (the other keeps the old pixels).
TEST_F(CliTreeSafety, HardLinksAreRefusedUnlessBreakingThemIsAsked)
{
    const std::string a = Sprite(dir_.Path() / "a.png");
    fs::create_hard_link(a, dir_.Path() / "b.png");
    const auto before = ReadFileBytes(a);

    const TCliRun refused = RunCli(With(Recolour, {"--in-place", a}));
    EXPECT_EQ(refused.Status, 1);
    EXPECT_TRUE(Contains(refused.Err, a + ": the file has 2 hard links")) << refused.Err;
    EXPECT_TRUE(Contains(refused.Err, "--break-hard-links")) << refused.Err;
    EXPECT_EQ(ReadFileBytes(a), before);
    EXPECT_EQ(fs::hard_link_count(a), 2u);

    const TCliRun broken = RunCli(With(Recolour, {"--in-place", "--break-hard-links", a}));
    ASSERT_EQ(broken.Status, 0) << broken.Err;
    EXPECT_EQ(PictureOf(a), Expected());
    EXPECT_EQ(ReadFileBytes(dir_.File("b.png")), before);
    EXPECT_EQ(fs::hard_link_count(a), 1u);
}

// A replace keeps the old file's mode and, where the system allows (as root), its owner and
// group; --preserve keeps the modification time, and gives an output in another folder its
// input's.
TEST_F(CliTreeSafety, AReplaceKeepsOwnerGroupModeAndWithPreserveTheTime)
{
    const std::string sprite = Sprite(dir_.Path() / "sprite.png");
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(sprite.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(::chmod(sprite.c_str(), 0640), 0);
    const timespec past[2] = {{1600000000, 0}, {1600000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, sprite.c_str(), past, 0), 0);

    ASSERT_EQ(RunCli(With(Recolour, {"--in-place", "--preserve", sprite})).Status, 0);
    EXPECT_EQ(PictureOf(sprite), Expected());
    struct stat st = StatusOf(sprite);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_EQ(st.st_mtim.tv_sec, past[1].tv_sec);
    EXPECT_EQ(st.st_mtim.tv_nsec, past[1].tv_nsec);

    // Without --preserve the replace is of now; into another folder, --preserve gives the input's time.
    ASSERT_EQ(RunCli(With(Recolour, {"--in-place", sprite})).Status, 0);
    EXPECT_GT(StatusOf(sprite).st_mtim.tv_sec, past[1].tv_sec);
    ASSERT_EQ(::utimensat(AT_FDCWD, sprite.c_str(), past, 0), 0);
    const std::string out = dir_.File("out");
    const TCliRun batch = RunCli(With(Recolour, {"--preserve", "--out-dir", out, sprite, Sprite(dir_.Path() / "b.png")}));
    ASSERT_EQ(batch.Status, 0) << batch.Err;
    EXPECT_EQ(StatusOf(out + "/sprite.png").st_mtim.tv_nsec, past[1].tv_nsec);
    EXPECT_EQ(StatusOf(out + "/sprite.png").st_mtim.tv_sec, past[1].tv_sec);
    EXPECT_NE(StatusOf(out + "/b.png").st_mtim.tv_sec, past[1].tv_sec);
}

// A name that is not UTF-8 is written with the same \udcXX escape by every JSON report (a script
// maps it back with os.fsencode), and an input that fails has its object in each.
TEST_F(CliTreeSafety, JsonNamesAreEscapedAlikeAndFailuresReported)
{
    const std::string odd = Sprite(dir_.Path() / "odd\xff.png");
    const std::string escaped = dir_.Path().string() + "/odd\\udcff.png"; // the folder's name is ASCII
    const std::string missing = dir_.File("missing.png");
    const std::string out = dir_.File("out");
    const struct {
        std::vector<std::string> Args;
        const char* What;
    } runs[] = {
        {{"info", "--json", odd, missing}, "info"},
        {With(Recolour, {"--dry-run", "--json", odd, missing}), "dry run"},
        {With(Recolour, {"--json", "--out-dir", out, odd, missing}), "real run"},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.What);
        const TCliRun run = RunCli(r.Args);
        EXPECT_EQ(run.Status, 1);
        const std::vector<std::string> lines = Lines(run.Out);
        ASSERT_EQ(lines.size(), 2u) << run.Out;
        EXPECT_TRUE(Contains(lines[0], "\"file\":\"" + escaped + "\"")) << lines[0];
        EXPECT_FALSE(Contains(lines[0], "\xef\xbf\xbd")) << "U+FFFD in " << lines[0];
        const nlohmann::json failed = nlohmann::json::parse(lines[1]);
        EXPECT_EQ(failed["file"], missing);
        EXPECT_TRUE(Contains(failed["error"].get<std::string>(), "no such file")) << lines[1];
    }
}

// A run removes the temporary files of its own name pattern that a killed run left in the folders
// it writes to (-v names them), and nothing else: not a fresh one, not one a living writer holds,
// not a name of another pattern.
TEST_F(CliTreeSafety, TemporaryFilesOfAKilledRunAreRemoved)
{
    const std::string sprite = Sprite(dir_.Path() / "sprite.png");
    const fs::path out = dir_.Path() / "out";
    fs::create_directory(out);
    const timespec old[2] = {{1600000000, 0}, {1600000000, 0}};
    const auto make = [&](const std::string& name, bool aged) {
        const std::string path = (out / name).string();
        WriteFileBytes(path, {'x'});
        if (aged) {
            EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
        }
        return path;
    };
    const std::string stale = make(".sprite.png.tmp-Ab3dE9", true);
    const std::string cut = make(".a-name-cut-after-its-32nd-byte-.tmp-zzzzzz", true);
    make(".fresh.png.tmp-Ab3dE9", false);
    make(".sprite.png.tmp-Ab3d", true);     // not six letters
    make("sprite.png.tmp-Ab3dE9", true);    // no leading dot
    make(".sprite.png.tmp-Ab3dE9~", true);  // more after the letters
    make(".sprite.png.TMP-Ab3dE9", true);
    const std::string held = make(".held.png.tmp-Q1w2E3", true);
    const int fd = ::open(held.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_SH), 0); // as a writer of a run still going holds its file
    const auto before = Files(out);

    const TCliRun run = RunCli(With(Recolour, {"-v", "--out-dir", out.string(), sprite}));
    ::close(fd);
    ASSERT_EQ(run.Status, 0) << run.Err;
    for (const std::string& removed : {stale, cut})
        EXPECT_TRUE(Contains(run.Err, removed + ": removed, a temporary file left by a run that did not finish")) << run.Err;
    std::vector<std::string> left = before;
    left.erase(std::remove_if(left.begin(), left.end(),
                              [&](const std::string& f) { return (out / f).string() == stale || (out / f).string() == cut; }),
               left.end());
    left.push_back("sprite.png");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(Files(out), left);
}

// --update counts an output of the same modification time as its input as up to date, as make
// and cp -u do; a nanosecond older is out of date.
TEST_F(CliTreeSafety, UpdateCountsTheSameTimeAsUpToDate)
{
    const std::string sprite = Sprite(dir_.Path() / "sprite.png");
    const std::string out = dir_.File("out");
    const std::vector<std::string> args = With(Recolour, {"--update", "--json", "--out-dir", out, sprite});
    ASSERT_EQ(RunCli(args).Status, 0);
    const std::string output = out + "/sprite.png";
    const timespec when[2] = {{1700000000, 500}, {1700000000, 500}};
    ASSERT_EQ(::utimensat(AT_FDCWD, sprite.c_str(), when, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, output.c_str(), when, 0), 0);
    EXPECT_EQ(nlohmann::json::parse(RunCli(args).Out)["status"], "up to date");
    const timespec older[2] = {{1700000000, 499}, {1700000000, 499}};
    ASSERT_EQ(::utimensat(AT_FDCWD, output.c_str(), older, 0), 0);
    EXPECT_EQ(nlohmann::json::parse(RunCli(args).Out)["status"], "done");
}

} // namespace
} // namespace tintabrel::test
