// Failures travel as exceptions, one class per kind; what() is the UTF-8 message shown to the user.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>

namespace tintabrel {

class Exception : public std::exception {
public:
    explicit Exception(std::string message, std::string detail = {})
        : message_(std::move(message)), detail_(std::move(detail))
    {
    }
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    // What exactly happened, in English, for those who show more than the message (the
    // command-line tool); empty when the message says it all. The message stays as it is.
    const std::string& Detail() const noexcept { return detail_; }

private:
    std::string message_;
    std::string detail_;
};

#define TINTABREL_EXCEPTION(Name, Base)        \
    class Name : public Base {                 \
    public:                                    \
        using Base::Base;                      \
    };

TINTABREL_EXCEPTION(EInvalidGraphic, Exception)
TINTABREL_EXCEPTION(EInvalidGraphicOperation, Exception)
TINTABREL_EXCEPTION(EConvertError, Exception)
TINTABREL_EXCEPTION(EStreamError, Exception)
TINTABREL_EXCEPTION(EFOpenError, EStreamError)
TINTABREL_EXCEPTION(EFCreateError, EStreamError)
TINTABREL_EXCEPTION(EReadError, EStreamError)
TINTABREL_EXCEPTION(EWriteError, EStreamError)
TINTABREL_EXCEPTION(EOSError, Exception)
TINTABREL_EXCEPTION(EOutOfResources, Exception)
TINTABREL_EXCEPTION(EInvalidOperation, Exception)

#undef TINTABREL_EXCEPTION

// The texts of the platform library, exactly as the user sees them.
namespace msg {
inline constexpr const char* InvalidBitmap = "ビットマップイメージが不正です";
inline constexpr const char* InvalidPixelFormat = "画像フォーマットが不正です";
inline constexpr const char* ScanLineOutOfRange = "スキャンライン のインデックスが範囲を越えました";
inline constexpr const char* ReadError = "ストリームからの読み込みエラー";
inline constexpr const char* WriteError = "ストリームへの書き込みエラー";
inline constexpr const char* OutOfResources = "システム リソースが足りません";
inline constexpr const char* NoCanvas = "Canvas に対する描画ができません";

inline std::string FileOpen(const std::string& path) { return "ファイル " + path + " は開けません"; }
inline std::string FileCreate(const std::string& path) { return "ファイル " + path + " を作成できません"; }
inline std::string NotInteger(const std::string& text) { return "'" + text + "' は整数ではありません"; }
inline std::string CannotAssign(const std::string& source, const std::string& target)
{
    return source + " を " + target + " に代入することはできません";
}
inline std::string OSError(int code, const std::string& text)
{
    return "システムエラー。コード：" + std::to_string(code) + ".\r\n" + text;
}

// The program's own texts.
inline std::string PixelDataCutShort(int64_t present, int64_t needed)
{
    return "the file ends before its pixel data: " + std::to_string(present) + " of " + std::to_string(needed) +
           " bytes present (" + std::to_string(needed - present) + " missing)";
}
} // namespace msg

} // namespace tintabrel
