// Match Colours in GIMP: the installed plug-in run by one headless GIMP session
// over a table of cases, each result compared with colormatch's (alpha and all).
#include "colormatch/workspace.h"

#include <QColorSpace>
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
};

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

QString scheme(const QString &text)
{
    return '"' + QString(text).replace('\\', "\\\\").replace('"', "\\\"") + '"';
}

// One batch command: open the target, select, match, save the layer (also
// after a failure, which is caught so that the session goes on).
QString batchCommand(const Workspace &folder, const PluginCase &row)
{
    const QString target = scheme(folder.path(row.target));
    QString select;
    if (!row.selection.empty())
        select = QStringLiteral("(gimp-image-select-rectangle image CHANNEL-OP-REPLACE %1 %2 %3 %4)")
                     .arg(row.selection.x).arg(row.selection.y).arg(row.selection.width).arg(row.selection.height);
    const QString match = QStringLiteral("(plug-in-match-colours RUN-NONINTERACTIVE image layer %1 %2 %3)")
                              .arg(scheme(folder.path(row.reference)), row.strength, row.matchLightness ? "1" : "0");
    const QString output = scheme(folder.path(QStringLiteral("gimp_%1.png").arg(row.name)));
    return QStringLiteral("(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE %1 %1)))"
                          " (layer (car (gimp-image-get-active-layer image)))) %2 %3"
                          " (file-png-save2 RUN-NONINTERACTIVE image layer %4 %4 0 0 0 0 0 0 0 0 1)"
                          " (gimp-image-delete image))")
        .arg(target, select, row.errorMessage ? QStringLiteral("(catch #f %1)").arg(match) : match, output);
}

double largestDifference(const cv::Mat &a, const cv::Mat &b)
{
    return a.size() == b.size() && a.type() == b.type() ? cv::norm(a, b, cv::NORM_INF) : -1;
}

} // namespace

TEST(GimpPlugin, MatchesAsColormatchDoesKeepsAlphaAndTheUnselectedAndLeavesTheLayerOnErrors)
{
    const Workspace folder;
    QFile::copy(folder.path("chelsea.png"), folder.path("target.png"));
    cv::imwrite(folder.path("alpha.png").toStdString(), testing_support::withAlphaGradient(folder.image("chelsea.png")));
    writeAdobeTagged(folder.image("coffee.png"), folder.path("adobe.png"));

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
              QStringLiteral("(plug-in-path \"${gimp_plug_in_dir}/plug-ins:%1/lib/gimp/2.0/plug-ins\")\n")
                  .arg(prefix).toUtf8());
    QStringList arguments = {"-i", "-d", "-f", "--gimprc", folder.path("gimprc")};
    for (const PluginCase &row : cases)
        arguments << "-b" << batchCommand(folder, row);
    arguments << "-b" << "(gimp-quit 0)";
    QProcess gimp;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"HOME", "GIMP2_DIRECTORY", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
        environment.insert(variable, folder.path("gimp"));
    environment.remove("DISPLAY");
    gimp.setProcessEnvironment(environment);
    gimp.setProcessChannelMode(QProcess::MergedChannels);
    gimp.start(GIMP_CONSOLE, arguments);
    // A first start in empty folders builds GIMP's caches: minutes on a busy machine.
    ASSERT_TRUE(gimp.waitForFinished(540000)) << "gimp-console did not end";
    const QString log = QString::fromUtf8(gimp.readAll());
    // gimp-console exits with 0 whatever failed: its log says.
    EXPECT_FALSE(log.contains("execution error")) << log.toStdString();

    for (const PluginCase &row : cases) {
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
        QStringList options = {row.target, row.reference, "-o", QStringLiteral("colormatch_%1.png").arg(row.name),
                               "-s", row.strength};
        if (row.matchLightness)
            options << "--match-lightness";
        const ProgramRun colormatch = folder.run(options);
        ASSERT_EQ(colormatch.exitCode, 0) << colormatch.err.toStdString();
        const cv::Mat expected = folder.image(QStringLiteral("colormatch_%1.png").arg(row.name));
        ASSERT_GT(largestDifference(expected, target), 0);  // the match changes something
        const cv::Rect inside = row.selection.empty() ? cv::Rect({}, target.size()) : row.selection;
        EXPECT_EQ(largestDifference(result(inside), expected(inside)), 0);
        cv::Mat outside = target.clone();
        result(inside).copyTo(outside(inside));
        EXPECT_EQ(largestDifference(result, outside), 0);
    }
}
