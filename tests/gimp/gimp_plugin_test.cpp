// SPDX-License-Identifier: GPL-3.0-or-later
// Match Colours in GIMP: the installed plug-in run by one headless GIMP session
// over a table of cases, each result compared with colormatch's (alpha and all),
// or for a deep layer with the engine's own 16-bit match of the same pair; the
// session also holds references that killed runs left open.
#include "colormatch/workspace.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QImage>

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

namespace {

struct PluginCase {
    const char *name;
    const char *target;
    const char *reference;
    const char *strength;
    bool matchLightness;
    cv::Rect selection;        // empty: no selection
    const char *errorMessage;  // the plug-in fails with this (REFERENCE: the reference's path); the layer stays
    // GIMP 3's arguments: the selection steers the target's statistics (colormatch's --target-mask), the
    // reference is a layer of the reference image opened with this rectangle selected (--reference-mask).
    bool useTargetSelection = false;
    cv::Rect referenceSelection = {};
    bool gimp3Only = false;
    int layers = 1;  // drawables handed to GIMP 3's procedure
    // A deep layer: matched as the engine matches the pair with depth=16, the result in 16 bits, within
    // `tolerance` levels of 65535. `precision` (e.g. "FLOAT-LINEAR"): the image is converted into it before the
    // match and back into 16-bit perceptual before it is saved.
    bool deep = false;
    const char *precision = nullptr;
    int tolerance = 0;
    // What the engine gets for the expected deep match, if not `target` and `reference`.
    const char *engineReference = nullptr;
    const char *engineTarget = nullptr;
};

const cv::Rect deepSelection{100, 50, 200, 120};

const PluginCase cases[] = {
    {"untagged", "target.png", "coffee.png", "1.0", false, {}, nullptr},
    {"tagged", "target.png", "adobe.png", "1.0", false, {}, nullptr},
    {"alpha", "alpha.png", "coffee.png", "1.0", false, {}, nullptr},
    {"selection", "target.png", "coffee.png", "1.0", false, {100, 50, 200, 120}, nullptr},
    {"strength", "target.png", "coffee.png", "0.5", true, {}, nullptr},
    {"broken", "alpha.png", "broken.png", "1.0", false, {}, "Match Colours: cannot read the reference image REFERENCE"},
    // The stand-in engine refuses strength 0.25 without reading the request: the plug-in's write meets a closed
    // pipe (EPIPE, not SIGPIPE) before the ERROR line becomes the message.
    {"refused", "alpha.png", "coffee.png", "0.25", false, {}, "Match Colours: the engine failed with exit status 65: "
                                                                "ERROR the stand-in refuses strength 0.25"},
    // An untagged JPEG reaches the engine as the file, which it decodes as for colormatch.
    {"jpeg", "target.png", "untagged.jpg", "1.0", false, {}, nullptr},
    {"target selection", "alpha.png", "coffee.png", "1.0", false, {100, 50, 200, 120}, nullptr, true, {}, true},
    {"reference selection", "target.png", "coffee.png", "1.0", true, {}, nullptr, false, {40, 30, 150, 90}, true},
    {"several layers", "target.png", "coffee.png", "1.0", false, {}, "Match Colours: choose exactly one layer to "
                                                                      "change (2 are selected)", false, {}, true, 2},
    // 16-bit images whose samples are no multiples of 257: read, matched and written in 8 bits they land
    // hundreds of levels off.
    {"deep", "deep.png", "coffee.png", "1.0", false, {}, nullptr, false, {}, false, 1, true},
    // The Adobe RGB reference converted into sRGB at 16 bits, not at 8 (up to 128 levels off).
    {"deep tagged", "deep.png", "adobe.png", "1.0", false, {}, nullptr, false, {}, false, 1, true, nullptr, 0,
     "adobe_in_srgb16.png"},
    {"deep alpha selection", "deep_alpha.png", "coffee.png", "0.5", true, {100, 50, 200, 120}, nullptr, false, {},
     false, 1, true},
    // The unselected pixels hidden at 16 bits, and the layer's own (no) alpha put back in 16-bit samples: the engine
    // gets deep.png with alpha 0 outside the rectangle.
    {"deep target selection", "deep.png", "coffee.png", "1.0", false, deepSelection, nullptr, true, {}, true, 1,
     true, nullptr, 0, nullptr, "deep_hidden.png"},
    // Linear floating point and back: GEGL's two conversions of each sample round within a level.
    {"float", "deep.png", "coffee.png", "1.0", false, {}, nullptr, false, {}, false, 1, true, "FLOAT-LINEAR", 1},
};
// Stands in for the installed engine, which it runs, except that it refuses strength 0.25.
const char standInEngine[] = "#!/bin/sh\n"
                             "if [ \"${10}\" = 0.25 ]; then echo 'ERROR the stand-in refuses strength 0.25' >&2; exit 65; fi\n"
                             "exec \"$0.real\" \"$@\"\n";

// coffee.png's pixels tagged as Adobe RGB: another look, which the plug-in
// must bring into the target's sRGB first. (Qt writes a valid iCCP chunk.)
void writeAdobeTagged(const cv::Mat &bgr, const QString &path)
{
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    QImage image(rgb.data, rgb.cols, rgb.rows, int(rgb.step), QImage::Format_RGB888);
    image.setColorSpace(QColorSpace::AdobeRgb);
    ASSERT_TRUE(image.save(path, "PNG"));
}

// `image` (8 bits) in 16, each sample v becoming 256 v plus a pattern of
// 0 to 255 that 8 bits cannot hold.
cv::Mat deepened(const cv::Mat &image)
{
    cv::Mat deep;
    image.convertTo(deep, CV_16U, 256);
    for (int y = 0; y < deep.rows; ++y) {
        auto *sample = deep.ptr<quint16>(y);
        for (int x = 0; x < deep.cols * deep.channels(); ++x)
            sample[x] = quint16(sample[x] + ((x * 37 + y * 11) & 255));
    }
    return deep;
}

// The same pixels widened to 16 bits and converted into sRGB there (lcms2,
// relative colorimetric with black point compensation): the reference that a
// deep layer should meet.
void writeAdobeInSrgb16(const cv::Mat &bgr, const QString &path)
{
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    rgb.convertTo(rgb, CV_16U, 257);
    const QByteArray adobe = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
    cmsHPROFILE source = cmsOpenProfileFromMem(adobe.constData(), cmsUInt32Number(adobe.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(source, TYPE_RGB_16, srgb, TYPE_RGB_16, INTENT_RELATIVE_COLORIMETRIC,
                                                 cmsFLAGS_BLACKPOINTCOMPENSATION | cmsFLAGS_NOCACHE);
    ASSERT_NE(transform, nullptr);
    for (int y = 0; y < rgb.rows; ++y)
        cmsDoTransform(transform, rgb.ptr(y), rgb.ptr(y), cmsUInt32Number(rgb.cols));
    cmsDeleteTransform(transform);
    cmsCloseProfile(source);
    cmsCloseProfile(srgb);
    cv::cvtColor(rgb, rgb, cv::COLOR_RGB2BGR);
    ASSERT_TRUE(cv::imwrite(path.toStdString(), rgb));
}

QString scheme(const QString &text)
{
    return '"' + QString(text).replace('\\', "\\\\").replace('"', "\\\"") + '"';
}

// One batch command for GIMP 2.10: open the target, select, match, save the
// layer (also after a failure, which is caught so that the session goes on).
QString batchCommand2(const Workspace &folder, const PluginCase &row)
{
    const QString target = scheme(folder.path(row.target));
    QString select;
    if (!row.selection.empty())
        select = QStringLiteral("(gimp-image-select-rectangle image CHANNEL-OP-REPLACE %1 %2 %3 %4)")
                     .arg(row.selection.x).arg(row.selection.y).arg(row.selection.width).arg(row.selection.height);
    const QString match = QStringLiteral("(plug-in-match-colours RUN-NONINTERACTIVE image layer %1 %2 %3)")
                              .arg(scheme(folder.path(row.reference)), row.strength, row.matchLightness ? "1" : "0");
    const QString output = scheme(folder.path(QStringLiteral("gimp_%1.png").arg(row.name)));
    if (row.precision)
        select += QStringLiteral(" (gimp-image-convert-precision image PRECISION-%1)").arg(row.precision);
    const QString back = row.precision ? "(gimp-image-convert-precision image PRECISION-U16-GAMMA)" : "";
    return QStringLiteral("(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE %1 %1)))"
                          " (layer (car (gimp-image-get-active-layer image)))) %2 %3 %5"
                          " (file-png-save2 RUN-NONINTERACTIVE image layer %4 %4 0 0 0 0 0 0 0 0 1)"
                          " (gimp-image-delete image))")
        .arg(target, select, row.errorMessage ? QStringLiteral("(catch #f %1)").arg(match) : match, output, back);
}

QString selectRectangle(const QString &image, const cv::Rect &rectangle)
{
    return QStringLiteral("(gimp-image-select-rectangle %1 CHANNEL-OP-REPLACE %2 %3 %4 %5)")
        .arg(image).arg(rectangle.x).arg(rectangle.y).arg(rectangle.width).arg(rectangle.height);
}

// The same for GIMP 3: named arguments, the drawables as a vector. GIMP 3
// stops at a failing batch command, so failures are caught there too.
QString batchCommand3(const Workspace &folder, const PluginCase &row)
{
    const QString target = scheme(folder.path(row.target));
    const QString reference = scheme(folder.path(row.reference));
    QString select = row.selection.empty() ? QString() : selectRectangle("image", row.selection);
    QString referenceArguments = QStringLiteral(" #:reference %1").arg(reference);
    QString closeReference;
    if (!row.referenceSelection.empty()) {
        select += QStringLiteral(" (define referenceImage (gimp-file-load RUN-NONINTERACTIVE %1)) %2")
                      .arg(reference, selectRectangle("referenceImage", row.referenceSelection));
        referenceArguments = " #:reference-drawable (vector-ref (gimp-image-get-layers referenceImage) 0)"
                             " #:use-reference-selection #t";
        closeReference = " (gimp-image-delete referenceImage)";
    }
    if (row.precision)
        select += QStringLiteral(" (gimp-image-convert-precision image PRECISION-%1)").arg(row.precision);
    const QString back = row.precision ? "(gimp-image-convert-precision image PRECISION-U16-NON-LINEAR)" : "";
    const QString match = QStringLiteral("(plug-in-match-colours #:run-mode RUN-NONINTERACTIVE #:image image"
                                         " #:drawables (vector%1)%2 #:strength %3 #:match-lightness %4"
                                         " #:use-target-selection %5)")
                              .arg(QString(" layer").repeated(row.layers), referenceArguments, row.strength,
                                   row.matchLightness ? "#t" : "#f", row.useTargetSelection ? "#t" : "#f");
    const QString output = scheme(folder.path(QStringLiteral("gimp_%1.png").arg(row.name)));
    return QStringLiteral("(script-fu-use-v3) (let* ((image (gimp-file-load RUN-NONINTERACTIVE %1))"
                          " (layer (vector-ref (gimp-image-get-layers image) 0))) %2 %3 %6"
                          " (file-png-export #:run-mode RUN-NONINTERACTIVE #:image image #:file %4"
                          " #:save-transparent #t) (gimp-image-delete image)%5)")
        .arg(target, select, row.errorMessage ? QStringLiteral("(catch #f %1)").arg(match) : match, output,
             closeReference, back);
}

// Before the table: two images marked as references that killed runs left open, one by a process that has
// ended, the other by `liveOwner`. After it: the marks of the images still open.
QStringList markedImagesCommands(const Workspace &folder, int major, const QString &liveOwner)
{
    QProcess ended;
    ended.start("sh", {"-c", "echo $$"});
    EXPECT_TRUE(ended.waitForFinished());
    const QString deadOwner = QString(ended.readAllStandardOutput()).trimmed();
    const QString image = scheme(folder.path("coffee.png"));
    const QString load = major == 3 ? QStringLiteral("(gimp-file-load RUN-NONINTERACTIVE %1)").arg(image)
                                    : QStringLiteral("(car (gimp-file-load RUN-NONINTERACTIVE %1 %1))").arg(image);
    const QString mark = "(gimp-image-attach-parasite %1 (list \"match-colours-owner\" 0 \"%2\"))";
    const QString markOf = major == 3 ? "(gimp-image-get-parasite image \"match-colours-owner\")"
                                      : "(car (gimp-image-get-parasite image \"match-colours-owner\"))";
    const QString images = major == 3 ? "(gimp-get-images)" : "(cadr (gimp-image-list))";
    const QString dialect = major == 3 ? "(script-fu-use-v3) " : "";
    return {dialect + QStringLiteral("(let* ((orphan %1) (owned %1)) %2 %3)")
                          .arg(load, mark.arg("orphan", deadOwner), mark.arg("owned", liveOwner)),
            dialect + QStringLiteral("(gimp-message (apply string-append \"marks left:\" (map (lambda (image)"
                                     " (string-append \" \" (caddr %1))) (vector->list %2))))")
                          .arg(markOf, images)};
}

double largestDifference(const cv::Mat &a, const cv::Mat &b)
{
    return a.size() == b.size() && a.type() == b.type() ? cv::norm(a, b, cv::NORM_INF) : -1;
}


// A grey mask of the image's size, white within `selected`: what colormatch
// takes for a GIMP selection.
QString writeMask(const Workspace &folder, const QString &name, const QString &image, const cv::Rect &selected)
{
    cv::Mat mask(folder.image(image).size(), CV_8UC1, cv::Scalar(0));
    mask(selected).setTo(255);
    cv::imwrite(folder.path(name).toStdString(), mask);
    return name;
}

// colormatch's match of the pair, with the masks that stand for GIMP 3's selections.
cv::Mat colormatchMatch(const Workspace &folder, const PluginCase &row)
{
    const QString name = QString(row.name).replace(' ', '_');
    QStringList options = {row.target, row.reference, "-o", QStringLiteral("colormatch_%1.png").arg(name),
                           "-s", row.strength};
    if (row.matchLightness)
        options << "--match-lightness";
    if (row.useTargetSelection)
        options << "--target-mask" << writeMask(folder, name + "_target_mask.png", row.target, row.selection);
    if (!row.referenceSelection.empty())
        options << "--reference-mask"
                << writeMask(folder, name + "_reference_mask.png", row.reference, row.referenceSelection);
    const ProgramRun colormatch = folder.run(options);
    EXPECT_EQ(colormatch.exitCode, 0) << colormatch.err.toStdString();
    return folder.image(QStringLiteral("colormatch_%1.png").arg(name));
}

// What the engine itself makes of the pair with depth=16: its 16-bit PNG.
cv::Mat engineDeepMatch(const Workspace &folder, const PluginCase &row)
{
    testing_support::HostArguments arguments;
    arguments.options = QStringLiteral("matchengine-options/1;depth=16");
    arguments.strength = row.strength;
    arguments.lightness = row.matchLightness ? "on" : "off";
    const QString target = folder.path(row.engineTarget ? row.engineTarget : row.target);
    const QString reference = folder.path(row.engineReference ? row.engineReference : row.reference);
    const testing_support::EngineRun run = testing_support::runEngine(
        arguments.list(), testing_support::frameRequest(testing_support::readFileBytes(target),
                                                        testing_support::readFileBytes(reference)));
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    cv::Mat matched = testing_support::decodeBytes(run.out, cv::IMREAD_UNCHANGED);
    if (matched.channels() == 4 && folder.image(row.target).channels() == 3)  // the alpha that hid pixels goes
        cv::cvtColor(matched, matched, cv::COLOR_BGRA2BGR);
    return matched;
}

// Installs the plug-ins, runs GIMP (`console`, major version `major`) once over
// the table and compares each result with colormatch's (a deep one with the engine's).
void runSession(const char *console, int major)
{
    const Workspace folder;
    QFile::copy(folder.path("chelsea.png"), folder.path("target.png"));
    cv::imwrite(folder.path("alpha.png").toStdString(), testing_support::withAlphaGradient(folder.image("chelsea.png")));
    writeAdobeTagged(folder.image("coffee.png"), folder.path("adobe.png"));
    writeAdobeInSrgb16(folder.image("coffee.png"), folder.path("adobe_in_srgb16.png"));
    cv::imwrite(folder.path("untagged.jpg").toStdString(), folder.image("coffee.png"));
    cv::imwrite(folder.path("deep.png").toStdString(), deepened(folder.image("chelsea.png")));
    cv::imwrite(folder.path("deep_alpha.png").toStdString(), deepened(folder.image("alpha.png")));
    cv::Mat hidden;
    cv::cvtColor(deepened(folder.image("chelsea.png")), hidden, cv::COLOR_BGR2BGRA);
    cv::Mat shown(hidden.size(), CV_16U, cv::Scalar(0));
    shown(deepSelection).setTo(65535);
    cv::insertChannel(shown, hidden, 3);
    cv::imwrite(folder.path("deep_hidden.png").toStdString(), hidden);

    // The plug-in as installed, on the plug-in path of a GIMP whose folders are all in the workspace.
    const QString prefix = folder.path("prefix");
    QProcess install;
    install.start(CMAKE_BINARY, {"--install", BUILD_DIR, "--prefix", prefix});
    ASSERT_TRUE(install.waitForFinished(120000) && install.exitCode() == 0) << install.readAllStandardError().constData();
    const QString engine = prefix + "/libexec/matchengine";
    ASSERT_TRUE(QFile::rename(engine, engine + ".real"));
    writeFile(engine, standInEngine);
    QFile::setPermissions(engine, QFile::permissions(engine + ".real"));
    QDir().mkpath(folder.path("gimp/gradients"));  // where GIMP saves gradients at its end, or complains
    writeFile(folder.path("gimprc"),
              QStringLiteral("(plug-in-path \"${gimp_plug_in_dir}/plug-ins:%1/lib/gimp/%2/plug-ins\")\n")
                  .arg(prefix, major == 3 ? "3.0" : "2.0").toUtf8());
    QStringList arguments = {"-i", "-d", "-f", "--gimprc", folder.path("gimprc")};
    if (major == 3)
        arguments << "--batch-interpreter=plug-in-script-fu-eval";
    QList<PluginCase> rows;
    for (const PluginCase &row : cases)
        if (major == 3 || !row.gimp3Only)
            rows << row;
    const QString testProcess = QString::number(QCoreApplication::applicationPid());
    const QStringList marked = markedImagesCommands(folder, major, testProcess);
    arguments << "-b" << marked[0];
    for (const PluginCase &row : rows)
        arguments << "-b" << (major == 3 ? batchCommand3(folder, row) : batchCommand2(folder, row));
    arguments << "-b" << marked[1];
    if (major == 3)
        arguments << "--quit";
    else
        arguments << "-b" << "(gimp-quit 0)";
    QProcess gimp;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"HOME", "GIMP2_DIRECTORY", "GIMP3_DIRECTORY", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",
                                 "XDG_DATA_HOME"})
        environment.insert(variable, folder.path("gimp"));
    environment.remove("DISPLAY");
    gimp.setProcessEnvironment(environment);
    gimp.setProcessChannelMode(QProcess::MergedChannels);
    gimp.start(console, arguments);
    // A first start in empty folders builds GIMP's caches: minutes on a busy machine.
    ASSERT_TRUE(gimp.waitForFinished(540000)) << "gimp-console did not end";
    const QString log = QString::fromUtf8(gimp.readAll());
    // gimp-console 2.10 exits with 0 whatever failed: its log says. GIMP 3 exits 70 when a batch command fails.
    EXPECT_FALSE(log.contains("execution error")) << log.toStdString();
    EXPECT_EQ(gimp.exitCode(), 0) << log.toStdString();
    // The first run deleted the reference whose owner had gone and left the other.
    EXPECT_TRUE(log.contains("marks left: " + testProcess + '\n')) << log.toStdString();

    for (const PluginCase &row : rows) {
        SCOPED_TRACE(row.name);
        const cv::Mat result = folder.image(QStringLiteral("gimp_%1.png").arg(row.name));
        const cv::Mat target = folder.image(row.target);
        ASSERT_FALSE(result.empty()) << log.toStdString();
        if (row.errorMessage) {
            const QString message = QString(row.errorMessage).replace("REFERENCE", folder.path(row.reference));
            EXPECT_TRUE(log.contains('\n' + message)) << log.toStdString();
            EXPECT_EQ(largestDifference(result, target), 0);
            continue;
        }
        const cv::Rect inside = row.selection.empty() ? cv::Rect({}, target.size()) : row.selection;
        const cv::Mat expected = row.deep ? engineDeepMatch(folder, row) : colormatchMatch(folder, row);
        // The match changes something (a deep one by more than 8 bits can tell); the result has the expected
        // size and depth, 8 bits unless deep.
        EXPECT_GT(largestDifference(expected, target), row.deep ? 256 : 0);
        const double difference = largestDifference(result(inside), expected(inside));
        EXPECT_GE(difference, 0);
        EXPECT_LE(difference, row.tolerance);
        cv::Mat outside = target.clone();
        result(inside).copyTo(outside(inside));
        EXPECT_EQ(largestDifference(result, outside), 0);
    }
}

} // namespace

#ifdef GIMP2_CONSOLE
TEST(GimpPlugin, MatchesAsColormatchDoesKeepsAlphaAndTheUnselectedAndLeavesTheLayerOnErrorsAndDeletesWhatKilledRunsLeft)
{
    runSession(GIMP2_CONSOLE, 2);
}
#endif

#ifdef GIMP3_CONSOLE
TEST(Gimp3Plugin, MatchesAsColormatchDoesWithItsMasksKeepsAlphaAndTheUnselectedAndLeavesTheLayerOnErrorsAndDeletesWhatKilledRunsLeft)
{
    runSession(GIMP3_CONSOLE, 3);
}
#endif
