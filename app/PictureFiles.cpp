#include "app/PictureFiles.h"

#include "image/Exceptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace tintabrel {

std::string ExtractExtension(const std::string& path)
{
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos) return {};
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && dot < slash) return {};
    return path.substr(dot);
}

TPictureKind KindOfExtension(const std::string& extension, bool exactCase)
{
    std::string ext = extension;
    if (!exactCase)
        for (char& c : ext) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    if (ext == ".png") return TPictureKind::Png;
    if (ext == ".bmp") return TPictureKind::Bmp;
    return TPictureKind::Unknown;
}

TSafeFileWriter::TSafeFileWriter(const std::string& target) : target_(target)
{
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = folder + "." + name + ".tmp-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw EFCreateError(msg::FileCreate(target));
    ::close(fd);
    temp_ = pattern;
    // The finished file gets the permissions a newly created file would have, or the old file's.
    struct stat st{};
    mode_t mode;
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::chmod(temp_.c_str(), mode);
    try {
        file_ = std::make_unique<TFileStream>(temp_, TFileMode::fmCreate);
    } catch (const EFCreateError&) {
        ::unlink(temp_.c_str());
        throw EFCreateError(msg::FileCreate(target));
    }
}

TSafeFileWriter::~TSafeFileWriter()
{
    file_.reset();
    if (!committed_) ::unlink(temp_.c_str());
}

void TSafeFileWriter::Commit()
{
    file_->Sync();
    file_.reset();
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) throw EWriteError(msg::WriteError);
    committed_ = true;
}

} // namespace tintabrel
