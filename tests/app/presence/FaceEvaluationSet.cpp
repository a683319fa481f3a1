#include "tests/app/presence/FaceEvaluationSet.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <utility>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/presence/FrameView.h"

namespace kestrel {

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
const cv::Scalar kWall(178, 188, 198);

// A photograph with the box around its face (none for face-free images).
struct Source {
    std::string name;
    cv::Mat image;  // BGR
    cv::Rect2d face;
};

// The frame-wide changes a webcam picture goes through.
enum class Condition { none, dim, dark, darkNoisy, noise, blur, jpeg, shadowLeft, shadowRight };

constexpr std::array kConditions = {
    Condition::none,      Condition::dim,        Condition::dark,
    Condition::darkNoisy, Condition::noise,      Condition::blur,
    Condition::jpeg,      Condition::shadowLeft, Condition::shadowRight};

const char* conditionName(Condition condition) {
    switch (condition) {
        case Condition::none:
            return "";
        case Condition::dim:
            return " light 40%";
        case Condition::dark:
            return " light 20%";
        case Condition::darkNoisy:
            return " light 25% noisy";
        case Condition::noise:
            return " noise";
        case Condition::blur:
            return " blur";
        case Condition::jpeg:
            return " jpeg q15";
        case Condition::shadowLeft:
            return " shadow left";
        case Condition::shadowRight:
            return " shadow right";
    }
    return "";
}

// Uniform numbers from the generator's raw output, so the set is the same with every library.
class Dice {
  public:
    double unit() { return static_cast<double>(engine_()) / 4294967296.0; }
    double between(double low, double high) { return low + (high - low) * unit(); }
    std::size_t below(std::size_t count) {
        return std::min(count - 1, static_cast<std::size_t>(unit() * static_cast<double>(count)));
    }

  private:
    std::mt19937 engine_{20261207u};
};

// Reads LFW crops from scikit-image's `lfw_subset.npy`: float64 grey images in [0, 1].
std::vector<cv::Mat> readLfwSubset(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::array<char, 10> prefix{};
    if (!in.read(prefix.data(), prefix.size()) || std::memcmp(prefix.data(), "\x93NUMPY", 6) != 0 ||
        prefix[6] != 1) {
        return {};
    }
    const auto headerLength = static_cast<std::size_t>(static_cast<unsigned char>(prefix[8])) |
                              static_cast<std::size_t>(static_cast<unsigned char>(prefix[9])) << 8;
    std::string header(headerLength, '\0');
    if (!in.read(header.data(), static_cast<std::streamsize>(headerLength)) ||
        header.find("'descr': '<f8'") == std::string::npos ||
        header.find("'fortran_order': False") == std::string::npos) {
        return {};
    }
    int count = 0;
    int rows = 0;
    int cols = 0;
    const auto shape = header.find("'shape': (");
    if (shape == std::string::npos ||
        std::sscanf(header.c_str() + shape, "'shape': (%d, %d, %d)", &count, &rows, &cols) != 3 ||
        count <= 0 || rows <= 0 || cols <= 0 || count > 1000 || rows > 256 || cols > 256) {
        return {};
    }
    std::vector<cv::Mat> crops;
    for (int i = 0; i < count; ++i) {
        cv::Mat values(rows, cols, CV_64F);
        if (!in.read(reinterpret_cast<char*>(values.data),
                     static_cast<std::streamsize>(values.total() * sizeof(double)))) {
            return {};
        }
        cv::Mat grey;
        values.convertTo(grey, CV_8U, 255.0);
        crops.push_back(grey);
    }
    return crops;
}

// A grey LFW crop in colour as a webcam sees skin: its brightness with a chroma of skin.
cv::Mat skinTinted(const cv::Mat& grey, Dice& dice, bool keepGrey) {
    const double red = dice.between(140, 156);
    const double blue = dice.between(104, 118);
    cv::Mat bgr;
    if (keepGrey) {
        cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
        return bgr;
    }
    cv::Mat ycrcb;
    cv::merge(std::vector<cv::Mat>{grey, cv::Mat(grey.size(), CV_8U, red),
                                   cv::Mat(grey.size(), CV_8U, blue)},
              ycrcb);
    cv::cvtColor(ycrcb, bgr, cv::COLOR_YCrCb2BGR);
    return bgr;
}

// `image` scaled to cover the whole frame, centred.
cv::Mat cover(const cv::Mat& image) {
    const double scale = std::max(static_cast<double>(kWidth) / image.cols,
                                  static_cast<double>(kHeight) / image.rows);
    cv::Mat scaled;
    cv::resize(image, scaled,
               cv::Size(std::max(kWidth, static_cast<int>(image.cols * scale + 0.5)),
                        std::max(kHeight, static_cast<int>(image.rows * scale + 0.5))),
               0, 0, scale > 1 ? cv::INTER_LINEAR : cv::INTER_AREA);
    return scaled(
               cv::Rect((scaled.cols - kWidth) / 2, (scaled.rows - kHeight) / 2, kWidth, kHeight))
        .clone();
}

// Multiplies every pixel of the BGR `frame` by the float `gain` at its place.
void brighten(cv::Mat& frame, const cv::Mat& gain) {
    cv::Mat gain3;
    cv::merge(std::vector<cv::Mat>{gain, gain, gain}, gain3);
    cv::Mat lit;
    frame.convertTo(lit, CV_32FC3);
    cv::multiply(lit, gain3, lit);
    lit.convertTo(frame, CV_8UC3);
}

cv::Mat wall() {
    cv::Mat frame(kHeight, kWidth, CV_8UC3, kWall);
    // A lamp on one side: the wall darkens towards the right.
    cv::Mat ramp(1, kWidth, CV_32F);
    for (int x = 0; x < kWidth; ++x) {
        ramp.at<float>(0, x) = 1.0f - 0.25f * static_cast<float>(x) / kWidth;
    }
    cv::Mat shade;
    cv::repeat(ramp, kHeight, 1, shade);
    brighten(frame, shade);
    return frame;
}

// Pastes `source` onto `frame` scaled so that its face box is `faceHeight` pixels tall, turned by
// `degrees` around the face's centre, which lands on `centre`.
void place(cv::Mat& frame, const Source& source, double faceHeight, double degrees,
           cv::Point2d centre) {
    const double scale = faceHeight / source.face.height;
    const cv::Point2d faceCentre(source.face.x + source.face.width / 2,
                                 source.face.y + source.face.height / 2);
    cv::Mat transform = cv::getRotationMatrix2D(faceCentre, degrees, scale);
    transform.at<double>(0, 2) += centre.x - faceCentre.x;
    transform.at<double>(1, 2) += centre.y - faceCentre.y;
    cv::Mat warped;
    cv::Mat mask;
    cv::warpAffine(source.image, warped, transform, frame.size(), cv::INTER_LINEAR);
    cv::warpAffine(cv::Mat(source.image.size(), CV_8U, cv::Scalar(255)), mask, transform,
                   frame.size(), cv::INTER_NEAREST);
    warped.copyTo(frame, mask);
}

void apply(cv::Mat& frame, Condition condition, const cv::Rect& faceBox, int seed) {
    cv::RNG rng(static_cast<std::uint64_t>(seed) + 1);
    const auto addNoise = [&](double sigma) {
        cv::Mat noise(frame.size(), CV_16SC3);
        rng.fill(noise, cv::RNG::NORMAL, 0, sigma);
        cv::Mat sum;
        cv::add(frame, noise, sum, cv::noArray(), CV_16SC3);
        sum.convertTo(frame, CV_8UC3);
    };
    switch (condition) {
        case Condition::none:
            break;
        case Condition::dim:
            frame.convertTo(frame, -1, 0.4);
            break;
        case Condition::dark:
            frame.convertTo(frame, -1, 0.2);
            break;
        case Condition::darkNoisy:
            frame.convertTo(frame, -1, 0.25);
            addNoise(5);
            break;
        case Condition::noise:
            addNoise(12);
            break;
        case Condition::blur:
            cv::GaussianBlur(frame, frame, cv::Size(), 2.5);
            break;
        case Condition::jpeg: {
            std::vector<std::uint8_t> bytes;
            cv::imencode(".jpg", frame, bytes, {cv::IMWRITE_JPEG_QUALITY, 15});
            frame = cv::imdecode(bytes, cv::IMREAD_COLOR);
            break;
        }
        case Condition::shadowLeft:
        case Condition::shadowRight: {
            // One side of the face in shadow, from its middle outwards, with a soft edge.
            const int middle = faceBox.x + faceBox.width / 2;
            cv::Mat gain(frame.size(), CV_32F, cv::Scalar(1.0));
            const cv::Rect side = condition == Condition::shadowLeft
                                      ? cv::Rect(0, 0, std::clamp(middle, 0, kWidth), kHeight)
                                      : cv::Rect(std::clamp(middle, 0, kWidth), 0,
                                                 kWidth - std::clamp(middle, 0, kWidth), kHeight);
            gain(side).setTo(0.3);
            cv::GaussianBlur(gain, gain, cv::Size(), std::max(2.0, faceBox.width / 12.0));
            brighten(frame, gain);
            break;
        }
    }
}

PixelBufferRef toBgra(const cv::Mat& bgr) {
    auto buffer = PixelBuffer::create(kWidth, kHeight);
    cv::cvtColor(bgr, writableView(*buffer), cv::COLOR_BGR2BGRA);
    return buffer;
}

std::string fraction(double faceHeight) {
    const int denominator = static_cast<int>(kHeight / faceHeight + 0.5);
    return "1/" + std::to_string(denominator);
}

}  // namespace

std::filesystem::path skimageDataFolder() {
    return "/usr/lib/python3/dist-packages/skimage/data";
}

FaceEvaluationSet buildFaceEvaluationSet(const std::filesystem::path& dataFolder, std::size_t limit,
                                         bool greyLfw) {
    FaceEvaluationSet set;
    const auto read = [&](const std::string& file) -> std::optional<cv::Mat> {
        cv::Mat image = cv::imread((dataFolder / file).string(), cv::IMREAD_COLOR);
        if (image.empty()) {
            set.error =
                "cannot read " + (dataFolder / file).string() + " (install python3-skimage)";
            return std::nullopt;
        }
        return image;
    };
    // The astronaut's face box in the 512x512 portrait.
    const auto astronautImage = read("astronaut.png");
    std::vector<Source> backgrounds;
    std::vector<Source> objects;
    for (const char* file :
         {"brick.png", "gravel.png", "grass.png", "coffee.png", "chelsea.png", "horse.png",
          "rocket.jpg", "motorcycle_left.png", "page.png", "text.png", "coins.png",
          "hubble_deep_field.jpg", "retina.jpg", "moon.png", "chessboard_RGB.png", "ihc.png",
          "logo.png", "color.png"}) {
        auto image = read(file);
        if (!image) {
            return set;
        }
        objects.push_back({file, *image, cv::Rect2d(0, 0, image->cols, image->rows)});
    }
    backgrounds.assign(objects.begin(), objects.begin() + 4);
    const auto lfw = readLfwSubset(dataFolder / "lfw_subset.npy");
    if (!astronautImage || lfw.size() != 200) {
        if (set.error.empty()) {
            set.error = "cannot read " + (dataFolder / "lfw_subset.npy").string();
        }
        return set;
    }
    const Source astronaut{"astronaut", *astronautImage, cv::Rect2d(175, 65, 99, 99)};

    Dice dice;
    int seed = 0;
    const auto addFace = [&](const Source& source, double faceHeight, double degrees,
                             Condition condition, const Source* background) {
        if (set.frames.size() >= limit) {
            return;
        }
        cv::Mat frame = background ? cover(background->image) : wall();
        // The face somewhere in the middle band of the picture, wholly inside it.
        const double half = faceHeight * 0.75;
        const cv::Point2d centre(
            dice.between(std::max(half, kWidth * 0.3), std::min(kWidth - half, kWidth * 0.7)),
            dice.between(std::max(half, kHeight * 0.3),
                         std::max(half, std::min(kHeight - half, kHeight * 0.55))));
        place(frame, source, faceHeight, degrees, centre);
        const cv::Rect faceBox(static_cast<int>(centre.x - faceHeight / 2),
                               static_cast<int>(centre.y - faceHeight / 2),
                               static_cast<int>(faceHeight), static_cast<int>(faceHeight));
        apply(frame, condition, faceBox, seed++);
        set.frames.push_back({source.name + " face " + fraction(faceHeight) + " tilt " +
                                  std::to_string(static_cast<int>(degrees)) +
                                  conditionName(condition) +
                                  (background ? " on " + background->name : ""),
                              true, toBgra(frame)});
    };

    // The portrait on a wall: every tilt at three distances.
    for (const double degrees : {-30.0, -20.0, -10.0, 0.0, 10.0, 20.0, 30.0}) {
        for (const double faceHeight : {kHeight / 8.0, kHeight / 4.0, kHeight / 2.0}) {
            addFace(astronaut, faceHeight, degrees, Condition::none, nullptr);
        }
    }
    // The portrait under each condition and before each busy background.
    const std::array<std::pair<double, double>, 3> poses = {std::pair{kHeight / 8.0, 0.0},
                                                            std::pair{kHeight / 4.0, 15.0},
                                                            std::pair{kHeight / 3.0, -25.0}};
    for (const Condition condition : kConditions) {
        for (const auto& [faceHeight, degrees] : poses) {
            addFace(astronaut, faceHeight, degrees, condition, nullptr);
        }
    }
    for (const Source& background : backgrounds) {
        for (const auto& [faceHeight, degrees] : poses) {
            addFace(astronaut, faceHeight, degrees, Condition::none, &background);
        }
    }
    // LFW faces (the first half of the subset) at random sizes, tilts, conditions and backgrounds.
    for (int i = 0; i < 100; i += 2) {
        const Source face{"lfw" + std::to_string(i),
                          skinTinted(lfw[static_cast<std::size_t>(i)], dice, greyLfw),
                          cv::Rect2d(0, 0, lfw[0].cols, lfw[0].rows)};
        const double faceHeight = dice.between(kHeight / 8.0, kHeight / 3.0);
        const double degrees = dice.between(-30.0, 30.0);
        const Condition condition = kConditions[dice.below(kConditions.size())];
        const Source* background =
            dice.unit() < 0.4 ? &backgrounds[dice.below(backgrounds.size())] : nullptr;
        addFace(face, faceHeight, degrees, condition, background);
    }

    const auto addFaceFree = [&](cv::Mat frame, const std::string& name, Condition condition) {
        if (set.frames.size() >= limit) {
            return;
        }
        apply(frame, condition, cv::Rect(kWidth / 2, 0, 1, 1), seed++);
        set.frames.push_back({name + conditionName(condition), false, toBgra(frame)});
    };
    // Objects, animals, text and textures filling the picture, then standing in front of a wall.
    for (const Source& object : objects) {
        addFaceFree(cover(object.image), object.name + " whole frame", Condition::none);
        cv::Mat frame = wall();
        const double height = dice.between(kHeight / 3.0, kHeight * 0.8);
        const cv::Point2d centre(dice.between(kWidth * 0.3, kWidth * 0.7), kHeight / 2.0);
        place(frame, object, height, dice.between(-30.0, 30.0), centre);
        addFaceFree(frame, object.name + " on a wall", kConditions[dice.below(kConditions.size())]);
    }
    // LFW's non-face crops, the sizes of the faces above, before a wall or a texture.
    for (int i = 100; i < 200; i += 3) {
        const Source crop{"lfw" + std::to_string(i),
                          skinTinted(lfw[static_cast<std::size_t>(i)], dice, greyLfw),
                          cv::Rect2d(0, 0, lfw[0].cols, lfw[0].rows)};
        const Source* background =
            dice.unit() < 0.5 ? &backgrounds[dice.below(backgrounds.size())] : nullptr;
        cv::Mat frame = background ? cover(background->image) : wall();
        const double height = dice.between(kHeight / 8.0, kHeight / 3.0);
        place(frame, crop, height, dice.between(-30.0, 30.0),
              cv::Point2d(kWidth / 2.0, kHeight / 2.0));
        addFaceFree(frame,
                    crop.name + " non-face crop" + (background ? " on " + background->name : ""),
                    Condition::none);
    }
    addFaceFree(wall(), "empty wall", Condition::none);
    addFaceFree(wall(), "empty wall", Condition::darkNoisy);
    addFaceFree(cv::Mat(kHeight, kWidth, CV_8UC3, cv::Scalar(0, 0, 0)), "black", Condition::none);
    return set;
}

}  // namespace kestrel
