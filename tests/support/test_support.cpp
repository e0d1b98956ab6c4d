// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/test_support.h"

#include "base/base.h"
#include "matching/matching.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <QProcessEnvironment>

#include <windows.h>
#include <psapi.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testing_support {

// Code of the engine that the tests call finds OpenCV's codecs beside the engine.
const bool codecsFolderSet =
    (setOpenCVCodecsFolder(QFileInfo(QStringLiteral(MATCHENGINE_BINARY)).path()), true);

namespace {

// Tests run the pipeline in-process, and OpenCL work may still be queued when
// the last test ends (an image nobody read back).
struct OpenCLQueueDrain : ::testing::Environment {
    void TearDown() override { finishOpenCLWork(); }
};
const auto *const queueDrain = ::testing::AddGlobalTestEnvironment(new OpenCLQueueDrain);

} // namespace

QString samplePath(const QString &name)
{
    return QStringLiteral(MATCHENGINE_SAMPLE_DIR "/") + name;
}

QByteArray readFileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return file.readAll();
}

cv::Mat decodeBytes(const QByteArray &bytes, int flags)
{
    const cv::Mat raw(1, bytes.size(), CV_8U, const_cast<char *>(bytes.constData()));
    return cv::imdecode(raw, flags);
}

QByteArray encoded(const cv::Mat &image, const char *extension, const std::vector<int> &parameters)
{
    std::vector<uchar> bytes;
    if (!cv::imencode(extension, image, bytes, parameters))
        throw std::runtime_error(std::string("cannot encode test image as ") + extension);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()));
}

cv::Mat withAlphaGradient(const cv::Mat &bgr)
{
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    for (int y = 0; y < bgra.rows; ++y)
        for (int x = 0; x < bgra.cols; ++x)
            bgra.at<cv::Vec4b>(y, x)[3] = uchar((x * 7 + y * 3) % 256);
    return bgra;
}

QByteArray libjpegEncoded(const cv::Mat &image, bool manyScans)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(image.cols);
    info.image_height = JDIMENSION(image.rows);
    info.input_components = image.channels();
    info.in_color_space = image.channels() == 4 ? JCS_CMYK : JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    std::vector<jpeg_scan_info> scans{{3, {0, 1, 2, 0}, 0, 0, 0, 0}};
    for (int component = 0; component < 3; ++component)
        for (int k = 1; k < 64; ++k)
            scans.push_back({1, {component, 0, 0, 0}, k, k, 0, 0});
    if (manyScans) {
        info.scan_info = scans.data();
        info.num_scans = int(scans.size());
    }
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uchar *>(image.ptr<uchar>(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const QByteArray jpeg(reinterpret_cast<const char *>(buffer), int(size));
    std::free(buffer);
    return jpeg;
}

QByteArray bytesOf(quint64 value, int size, bool littleEndian)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[littleEndian ? i : size - 1 - i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

namespace {
quint32 crcOf(const QByteArray &bytes)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size())));
}
} // namespace

QByteArray pngClaiming(const QByteArray &png, quint32 width, quint32 height)
{
    QByteArray bomb = png;
    bomb.replace(16, 8, bytesOf(width, 4) + bytesOf(height, 4));
    return bomb.replace(29, 4, bytesOf(crcOf(bomb.mid(12, 17)), 4));
}

QByteArray jpegClaiming(const QByteArray &jpeg, quint32 width, quint32 height, const char *frameMarker)
{
    QByteArray bomb = jpeg;
    return bomb.replace(bomb.indexOf(frameMarker) + 5, 4, bytesOf(height, 2) + bytesOf(width, 2));
}

QByteArray tiffWith(bool big, const QList<QPair<quint16, quint64>> &tags)
{
    const int word = big ? 8 : 4;
    QByteArray tiff = big ? QByteArray("II+\0\x08\0\0\0", 8) + bytesOf(16, 8, true) : QByteArray("II*\0\x08\0\0\0", 8);
    tiff += bytesOf(tags.size(), big ? 8 : 2, true);
    for (const auto &tag : tags)
        tiff += bytesOf(tag.first, 2, true) + bytesOf(big ? 16 : 4, 2, true) + bytesOf(1, word, true) +
                bytesOf(tag.second, word, true);
    return tiff + bytesOf(0, word, true) + QByteArray(64, '\x11');
}

QByteArray withTextChunks(const QByteArray &png, const QByteArray &type, int count, int textBytes)
{
    const QByteArray text(textBytes, 'a');
    const QByteArray body = type == "tEXt" ? QByteArray("Comment\0", 8) + text
                          : type == "zTXt" ? QByteArray("Comment\0\0", 9) + qCompress(text, 9).mid(4) // a zlib stream
                                           : QByteArray("XML:com.adobe.xmp\0\1\0\0\0", 22) + qCompress(text, 9).mid(4);
    const QByteArray typed = type + body;
    const QByteArray chunk = bytesOf(quint32(body.size()), 4) + typed + bytesOf(crcOf(typed), 4);
    return png.left(33) + chunk.repeated(count) + png.mid(33); // after the signature and IHDR
}

QByteArray frameRequest(const QByteArray &target, const QByteArray &reference, qint32 first,
                        const QByteArray &trailing)
{
    return bytesOf(quint32(first), 4) + bytesOf(quint32(target.size()), 4) + target +
           bytesOf(quint32(reference.size()), 4) + reference + trailing;
}

QString base64Path(const QString &path)
{
    return QString::fromLatin1(path.toUtf8().toBase64());
}

QStringList HostArguments::list() const
{
    return {QStringLiteral("host"), options, position3, resultFile, lutBase, openCL,
            lightness, lutSize, format, strength, sizeFile};
}

QStringList EngineRun::errLines() const
{
    QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool runningUnderWine()
{
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

QByteArray fromPlatformLines(QByteArray text)
{
#ifdef _WIN32
    for (int at = text.indexOf('\n'); at >= 0; at = text.indexOf('\n', at + 1))
        if (at == 0 || text[at - 1] != '\r')
            ADD_FAILURE() << "a line does not end in CR LF: " << text.left(at).mid(text.lastIndexOf('\n', at - 1) + 1).toStdString();
    text.replace("\r\n", "\n");
#endif
    return text;
}

namespace {

#ifdef _WIN32
// One argument quoted as the C runtime splits a command line.
std::wstring quoted(const QString &argument)
{
    const std::wstring text = argument.toStdWString();
    if (!text.empty() && text.find_first_of(L" \t\"") == std::wstring::npos)
        return text;
    std::wstring result = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        result.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        result += c;
    }
    result.append(2 * backslashes, L'\\');
    return result + L"\"";
}

HANDLE inheritable(const QString &path, bool write)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// CreateProcess in a Job object: the job limits the committed memory when asked.
EngineRun startAndWait(const QString &program, const QStringList &arguments, const QStringList &extraEnvironment,
                       long memoryKiB, const QString &folder, const QString (&paths)[3])
{
    std::wstring commandLine = quoted(program);
    for (const QString &argument : arguments)
        commandLine += L" " + quoted(argument);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &variable : extraEnvironment)
        environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
    std::wstring block;
    for (const QString &variable : environment.toStringList())
        block += variable.toStdWString() + L'\0';
    block += L'\0';

    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (memoryKiB > 0) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit{};
        limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
        limit.ProcessMemoryLimit = SIZE_T(memoryKiB) * 1024;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limit, sizeof limit);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable(paths[0], false);
    startup.hStdOutput = inheritable(paths[1], true);
    startup.hStdError = inheritable(paths[2], true);
    PROCESS_INFORMATION process{};
    const bool started = job && CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                                               CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, &block[0],
                                               folder.isEmpty() ? nullptr : reinterpret_cast<const wchar_t *>(folder.utf16()),
                                               &startup, &process);
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        CloseHandle(handle);
    if (!started)
        throw std::runtime_error("cannot run the engine binary");
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    EngineRun end;
    // An unhandled exception ends a process with its NTSTATUS code, 0xC0000005 and the like.
    end.crashed = code >= 0xC0000000u;
    end.exitCode = end.crashed ? -1 : int(code);
    if (GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory))
        end.peakMemoryKiB = long(memory.PeakWorkingSetSize / 1024);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(job);
    return end;
}
#else
EngineRun startAndWait(const QString &program, const QStringList &arguments, const QStringList &extraEnvironment,
                       long addressSpaceKiB, const QString &workingDirectory, const QString (&paths)[3])
{
    std::vector<std::string> texts{program.toStdString()};
    const std::string folder = workingDirectory.toStdString();
    for (const QString &argument : arguments)
        texts.push_back(QFile::encodeName(argument).toStdString()); // in the locale's bytes, as QProcess passes them
    const size_t argumentCount = texts.size();
    for (const QString &variable : QProcess::systemEnvironment() + extraEnvironment)
        texts.push_back(variable.toStdString());
    std::vector<char *> argv, envp;
    for (size_t i = 0; i < texts.size(); ++i)
        (i < argumentCount ? argv : envp).push_back(&texts[i][0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int fds[3] = {open(paths[0].toStdString().c_str(), O_RDONLY | O_CLOEXEC),
                        open(paths[1].toStdString().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600),
                        open(paths[2].toStdString().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
    const pid_t child = fork();
    if (child == 0) {
        for (int i = 0; i < 3; ++i)
            dup2(fds[i], i);
        const rlimit limit{rlim_t(addressSpaceKiB) * 1024, rlim_t(addressSpaceKiB) * 1024};
        if (addressSpaceKiB > 0)
            setrlimit(RLIMIT_AS, &limit);
        if (!folder.empty() && chdir(folder.c_str()) != 0)
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    for (const int fd : fds)
        close(fd);
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        throw std::runtime_error("cannot run the engine binary");
    EngineRun end;
    end.crashed = WIFSIGNALED(status);
    end.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    end.peakMemoryKiB = usage.ru_maxrss;
    return end;
}
#endif

} // namespace

EngineRun runEngine(const QStringList &arguments, const QByteArray &input, const QStringList &extraEnvironment,
                    long addressSpaceKiB)
{
    return runProgram(QStringLiteral(MATCHENGINE_BINARY), arguments, input, extraEnvironment, addressSpaceKiB);
}

EngineRun runProgram(const QString &program, const QStringList &arguments, const QByteArray &input,
                     const QStringList &extraEnvironment, long addressSpaceKiB, const QString &workingDirectory)
{
    // Standard streams in files, so that no pipe can fill while the parent waits.
    QTemporaryDir streams;
    const QString paths[3] = {streams.filePath(QStringLiteral("in")), streams.filePath(QStringLiteral("out")),
                              streams.filePath(QStringLiteral("err"))};
    QFile inputFile(paths[0]);
    if (!streams.isValid() || !inputFile.open(QIODevice::WriteOnly) || inputFile.write(input) != input.size())
        throw std::runtime_error("cannot write the engine's input");
    inputFile.close();
    EngineRun run = startAndWait(program, arguments, extraEnvironment, addressSpaceKiB, workingDirectory, paths);
    run.out = readFileBytes(paths[1]);
    run.err = fromPlatformLines(readFileBytes(paths[2]));
    return run;
}

} // namespace testing_support
