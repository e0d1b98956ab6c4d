// SPDX-License-Identifier: GPL-3.0-or-later
// LUT export: the identity lattice that rides through the pipeline, the
// unwrapped PNG, the tetrahedral resampling and the cube file.
#pragma once

#include <QString>

#include <opencv2/core.hpp>

// Levels per channel of the lattice that travels through the pipeline.
constexpr int sampleLevels = 16;

// Where the lattice block sits in a stacked target.
struct LatticeGeometry {
    int width = 0;      // the target's width W
    int blockRows = 0;  // ceil(4096 / W)
};

cv::UMat makeLatticeStrip(int levels);
// Stacks the lattice block on top of one or more copies of an 8-bit 3- or
// 4-channel target; records the geometry for extractLattice.
cv::UMat stackLattice(const cv::UMat &target, LatticeGeometry &geometry);
// The 1 x 4096 CV_8UC3 transformed lattice cut out of the matched stacked image.
cv::UMat extractLattice(const cv::UMat &matched, const LatticeGeometry &geometry);
// The 16 x 256 picture of the transformed lattice (CV_8UC3, or CV_16UC3 from
// the deep computation): tiles by blue level.
cv::Mat makeUnwrappedImage(const cv::UMat &transformedLattice);
// Writes base + "_unwrapped.png" atomically. Returns an empty string on
// success, otherwise "path: reason".
QString writeUnwrappedLut(const cv::UMat &transformedLattice, const QString &lutBasePath);

cv::Mat makeLutTable(const cv::UMat &transformedLattice, int levels);
cv::UMat makeOutputLattice(int n);
void resampleTetrahedral(cv::UMat &outputLattice, const cv::Mat &lutTable, int tableLevels, int n);

QString buildCubeText(const cv::UMat &outputLattice, int n);
// Writes the text and one more line end to base + "_cube.cube", replacing any
// existing file whole. Returns an empty string on success, otherwise "path: reason".
QString writeCubeFile(const QString &text, const QString &lutBasePath);
