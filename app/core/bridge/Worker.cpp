#include "core/bridge/Worker.hpp"

#include <QMetaObject>

#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Errors.hpp"
#include "playback/AudioEngine.hpp"

namespace corvaline::app {
namespace {

// A file by its name; a name without an extension (mostly a folder: "Runtime", "Models")
// says too little on its own, so it is given with its whole path.
QString quoted(const std::filesystem::path& path) {
    const auto shown = path.has_extension() ? path.filename() : path;
    return QStringLiteral("“") + QString::fromStdString(shown.string()) + QStringLiteral("”");
}

QString describe(const std::error_code& code) {
    if (code == std::errc::no_space_on_device) return QStringLiteral("the disk is full");
    if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted)
        return QStringLiteral("permission was denied");
    if (code == std::errc::no_such_file_or_directory)
        return QStringLiteral("the file or folder does not exist");
    if (code == std::errc::read_only_file_system) return QStringLiteral("the disk is read-only");
    if (code == std::errc::file_exists) return QStringLiteral("an item with that name exists");
    if (code == std::errc::is_a_directory) return QStringLiteral("it is a folder");
    if (code == std::errc::not_a_directory) return QStringLiteral("a folder in the path is a file");
    return QString::fromStdString(code.message()).toLower();
}

// The first line of a library's failure: what the user was doing when it failed (a failed
// download is not a problem with the audio).
QString libraryTask(const LibraryError& error) {
    const std::string& name = error.library();
    if (name == "libcurl") return QStringLiteral("The download could not finish.");
    if (name == "OpenSSL") return QStringLiteral("The download could not be verified.");
    if (name == "libtorch") return QStringLiteral("The restoration model could not run.");
    return QStringLiteral("%1 could not process the audio.").arg(QString::fromStdString(name));
}

}  // namespace

QString alertText(const std::exception& error) {
    if (const auto* failure = dynamic_cast<const AudioFailure*>(&error))
        return QString::fromStdString(failure->message());
    // The engine's file errors are already worded for the user and name the file.
    if (const auto* file = dynamic_cast<const FileError*>(&error))
        return QString::fromUtf8(file->what());
    if (const auto* fs = dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
        const QString reason = describe(fs->code());
        if (!fs->path1().empty()) {
            return QStringLiteral("Could not use %1: %2.").arg(quoted(fs->path1()), reason);
        }
        return QStringLiteral("A file operation failed: %1.").arg(reason);
    }
    // So is the audio output's refusal (the device, what failed, what to try).
    if (const auto* output = dynamic_cast<const playback::AudioOutputError*>(&error))
        return QString::fromUtf8(output->what());
    if (const auto* library = dynamic_cast<const LibraryError*>(&error))
        return QStringLiteral("%1\n%2").arg(libraryTask(*library),
                                            QString::fromUtf8(library->what()));
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
        return QStringLiteral("The operation failed: %1.\n%2")
            .arg(describe(system->code()), QString::fromUtf8(system->what()));
    }
    if (dynamic_cast<const std::bad_alloc*>(&error))
        return QStringLiteral("There is not enough memory to finish this operation.");
    const char* text = error.what();
    if (text == nullptr || *text == '\0') return QStringLiteral("The operation failed.");
    return QStringLiteral("The operation failed.\n%1").arg(QString::fromUtf8(text));
}

QString alertText(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return alertText(e);
    } catch (...) {
    }
    return QStringLiteral("The operation failed.");
}

void Worker::post(QObject* context, std::function<void()> call) {
    QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
}

}  // namespace corvaline::app
