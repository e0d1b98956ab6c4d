// Colour statistics and the linear transfer y = T x + mu_r - T mu_t with
// T = Sr St^-1, where St and Sr are the symmetric square roots of the target
// and reference colour covariances. Pixels travel as 3 x N matrices (one
// channel per row, pixels in column-major image order) so that the mapping of
// all pixels is one 3 x 3 by 3 x N product.
#include "matching/matching.h"

#include "engine/engine.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// An eigenvalue of the target covariance at or below this share of the largest
// one is rounding noise of a singular covariance (a grey image, colours on one
// line), not colour spread.
constexpr double relativeEigenFloor = 1e-6;
// Below this absolute variance (a spread of a thousandth of one 8-bit level on
// the 1/256 scale) an eigenvalue only reflects the rounding of the mean of a
// single-colour image.
constexpr double absoluteEigenFloor = 1e-12;

// Image minus its mean colour as a 3 x N pixel matrix, pixels in column-major order.
cv::UMat centredTransposed(const cv::UMat &image, const cv::UMat &mean)
{
    cv::UMat meanImage;
    cv::repeat(mean, image.rows, image.cols, meanImage);
    const cv::UMat centred = hostSubtract(image, meanImage);
    return centred.t();
}

cv::UMat flattened(const cv::UMat &transposed)
{
    return planesToRows(transposed, 1, transposed.rows * transposed.cols);
}

} // namespace

cv::UMat meanAlong(const cv::UMat &src, int dim)
{
    cv::UMat dst;
    cv::reduce(src, dst, dim, cv::REDUCE_AVG, -1);
    return dst;
}

cv::UMat gramMatrix(const cv::UMat &a)
{
    cv::UMat dst;
    cv::gemm(a, a, 1.0, cv::UMat(), 0.0, dst, cv::GEMM_2_T);
    return dst;
}

cv::UMat matMul(const cv::UMat &a, const cv::UMat &b)
{
    cv::UMat dst;
    cv::gemm(a, b, 1.0, cv::UMat(), 0.0, dst, 0);
    return dst;
}

// The element-wise steps run on host matrices, also with OpenCL on; the result
// UMat keeps the new host matrix alive through its reference count.
cv::UMat hostSubtract(const cv::UMat &a, const cv::UMat &b)
{
    const cv::Mat difference = a.getMat(cv::ACCESS_READ) - b.getMat(cv::ACCESS_READ);
    return difference.getUMat(cv::ACCESS_WRITE, cv::USAGE_DEFAULT);
}

cv::UMat hostAdd(const cv::UMat &a, const cv::UMat &b)
{
    const cv::Mat sum = a.getMat(cv::ACCESS_READ) + b.getMat(cv::ACCESS_READ);
    return sum.getUMat(cv::ACCESS_WRITE, cv::USAGE_DEFAULT);
}

cv::UMat hostDivide(const cv::UMat &a, double s)
{
    const cv::Mat quotient = a.getMat(cv::ACCESS_READ) / s;
    return quotient.getUMat(cv::ACCESS_WRITE, cv::USAGE_DEFAULT);
}

cv::UMat planesToRows(const cv::UMat &image, int rows, int cols)
{
    std::vector<cv::UMat> planes;
    cv::split(image, planes);
    const int shape[] = {rows, cols};
    for (cv::UMat &plane : planes)
        plane = plane.reshape(1, 2, shape);
    cv::UMat stacked;
    cv::vconcat(planes, stacked);
    return stacked;
}

cv::UMat rowsToChannels(const cv::UMat &m)
{
    const int n = m.cols;
    if (engineSettings().amdGpu) {
        const cv::Mat host = m.getMat(cv::ACCESS_READ);
        const std::vector<cv::Mat> rows{host(cv::Rect(0, 0, n, 1)), host(cv::Rect(0, 1, n, 1)),
                                        host(cv::Rect(0, 2, n, 1))};
        cv::Mat merged;
        cv::merge(rows, merged);
        return merged.getUMat(cv::ACCESS_RW, cv::USAGE_DEFAULT);
    }
    const std::vector<cv::UMat> rows{m(cv::Rect(0, 0, n, 1)), m(cv::Rect(0, 1, n, 1)), m(cv::Rect(0, 2, n, 1))};
    cv::UMat merged;
    cv::merge(rows, merged);
    return merged;
}

cv::UMat symmetricSqrt(const cv::UMat &s)
{
    cv::UMat eigenvalues;
    cv::UMat eigenvectors;
    cv::eigen(s, eigenvalues, eigenvectors);
    const cv::UMat columns = eigenvectors.t();
    // A covariance has no negative eigenvalues; those that rounding makes
    // slightly negative count as zero instead of turning the root into NaN.
    cv::UMat clamped;
    cv::max(eigenvalues, 0.0, clamped);
    const cv::UMat diagonal = cv::UMat::diag(clamped);
    cv::UMat root;
    cv::sqrt(diagonal, root);
    const cv::UMat product = matMul(columns, root);
    return matMul(product, columns.t());
}

cv::UMat invertTargetRoot(const cv::UMat &targetCovariance, const cv::UMat &targetRoot)
{
    cv::Mat eigenvalues;
    cv::Mat eigenvectors;
    cv::eigen(targetCovariance, eigenvalues, eigenvectors);
    eigenvalues.convertTo(eigenvalues, CV_64F);
    eigenvectors.convertTo(eigenvectors, CV_64F);

    double largest = 0.0;
    cv::minMaxLoc(eigenvalues, nullptr, &largest);
    const double floor = std::max(relativeEigenFloor * largest, absoluteEigenFloor);
    bool regular = largest > 0.0;
    for (int i = 0; i < eigenvalues.rows; ++i)
        regular = regular && eigenvalues.at<double>(i) > floor;
    if (regular)
        return targetRoot.inv(cv::DECOMP_LU);

    // Pseudo-inverse of the root: the directions without colour spread are
    // dropped, so those pixels keep the reference's mean there.
    cv::Mat inverseRoots = cv::Mat::zeros(eigenvalues.rows, eigenvalues.rows, CV_64F);
    for (int i = 0; i < eigenvalues.rows; ++i) {
        const double lambda = eigenvalues.at<double>(i);
        if (lambda > floor)
            inverseRoots.at<double>(i, i) = 1.0 / std::sqrt(lambda);
    }
    const cv::Mat pseudoInverse = eigenvectors.t() * inverseRoots * eigenvectors;
    cv::UMat result;
    pseudoInverse.convertTo(result, targetRoot.type());
    return result;
}

TransferInputs centreForTransfer(const cv::UMat &workingTarget, const cv::UMat &workingReference)
{
    TransferInputs inputs;
    inputs.targetImage = workingTarget;
    inputs.width = workingTarget.cols;
    inputs.height = workingTarget.rows;
    reportProgress("060");

    const cv::UMat columnMeans = meanAlong(workingTarget, 0);
    reportProgress("061");
    inputs.targetMean = meanAlong(columnMeans, 1);
    reportProgress("062");

    const cv::UMat targetTransposed = centredTransposed(workingTarget, inputs.targetMean);
    reportProgress("064");
    inputs.centredTarget = flattened(targetTransposed);
    inputs.targetCount = static_cast<double>(inputs.centredTarget.cols);

    inputs.referenceMean = meanAlong(meanAlong(workingReference, 0), 1);
    reportProgress("066");
    inputs.centredReference = flattened(centredTransposed(workingReference, inputs.referenceMean));
    inputs.referenceCount = static_cast<double>(inputs.centredReference.cols);
    reportProgress("067");
    return inputs;
}

cv::UMat linearColourTransfer(TransferInputs &inputs)
{
    const cv::UMat targetCovariance = hostDivide(gramMatrix(inputs.centredTarget), inputs.targetCount);
    reportProgress("068");

    const MappingTaskResults roots = runMappingTasks(targetCovariance, inputs);
    reportProgress("070");
    reportProgress("072");

    const cv::UMat transfer =
        matMul(roots.referenceRoot, invertTargetRoot(targetCovariance, roots.targetRoot));
    reportProgress("074");

    // (T x + mu_r) - T mu_t, in this order.
    cv::UMat mapped = matMul(transfer, inputs.targetImage);
    const cv::UMat shift = matMul(transfer, inputs.targetMean);
    const int n = mapped.cols;
    cv::UMat shifts;
    cv::repeat(shift, 1, n, shifts);
    cv::UMat referenceMeans;
    cv::repeat(inputs.referenceMean, 1, n, referenceMeans);
    mapped = hostAdd(mapped, referenceMeans);
    mapped = hostSubtract(mapped, shifts);
    reportProgress("075");

    // Undo the column-major layout: W x H, then transposed to the target's H x W.
    const int shape[] = {inputs.width, inputs.height};
    const cv::UMat pixels = rowsToChannels(mapped).reshape(3, 2, shape);
    const cv::UMat mappedImage = pixels.t();
    reportProgress("076");
    return mappedImage;
}
