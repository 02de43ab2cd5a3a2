#include "options.h"

#include <fmt/format.h>

#include "cli_error.h"
#include "telvix_project_version.h"

namespace telvix::cli {
namespace {

constexpr const char* kPluginHelp =
    "Effect library to load (default: Telvix.so beside the command, in ../lib/telvix, or in "
    "a build folder's top, all relative to the command)";

// Numbers on the command line are decimal whatever their leading zeros: "0255" is 255, not
// the octal (or "0x" hexadecimal) reading the parser would otherwise give it. Runs before the
// option's own checks and conversion.
const CLI::Validator kDecimal(
    [](std::string& text) -> std::string {
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
            return fmt::format("'{}' is not a decimal number", text);
        }
        const std::size_t first = text.find_first_not_of('0');
        text = first == std::string::npos ? std::string("0") : text.substr(first);
        return {};
    },
    "", "DECIMAL");

}  // namespace

CommandLineParser::CommandLineParser()
    : app_("Smooths the jagged outlines of cel-animation drawings with the Telvix effect.",
           "telvix")
{
    app_.set_version_flag("--version", "telvix " TELVIX_VERSION_TEXT,
                          "Print the effect's version and exit");
    app_.require_subcommand(1);

    // The three effect controls map onto --tolerance and --key; --extent and --depth describe
    // the frame the host hands over.

    smooth_ = app_.add_subcommand(
        "smooth", "Smooth the lines of an image, a frame sequence or a folder of images");
    smooth_
        ->add_option("INPUT", values_.input,
                     "Image to read (8, 10, 12 or 16 bits, half or float; grey, RGB or RGBA), a "
                     "frame pattern (shot.####.png, shot.%04d.png) or a folder (its own images, "
                     "not those in its subfolders). An existing file is one image whatever its "
                     "name holds (icon@2x.png)")
        ->required();
    smooth_
        ->add_option("OUTPUT", values_.output,
                     "Image, frame pattern or folder to write; keeps the input's format, "
                     "layout and metadata")
        ->required();
    smooth_
        ->add_option("--tolerance", values_.tolerance,
                     "Do Smooth Range: how far colours may differ per channel and still match")
        ->type_name("N")
        ->transform(kDecimal)
        ->check(CLI::Range(telvix::kSmoothRangeMin, telvix::kSmoothRangeMax))
        ->capture_default_str();
    smooth_
        ->add_option("--key", key_,
                     "Use Color Key with this colour (RRGGBB): its pixels become transparent "
                     "before smoothing")
        ->type_name("RRGGBB")
        ->default_str("off");
    smooth_
        ->add_option("--extent", extent_,
                     "Area to smooth as LEFT,TOP,RIGHT,BOTTOM (right and bottom exclusive)")
        ->type_name("L,T,R,B")
        ->default_str("whole frame");
    smooth_->add_option("--depth", depth_, "Process and write at 8 or 16 bits per channel")
        ->type_name("BITS")
        ->transform(kDecimal)
        ->check(CLI::IsMember({8, 16}))
        ->default_str("the input's depth");
    smooth_->add_option("--plugin", values_.plugin, kPluginHelp)->type_name("PATH");

    // Sequences: INPUT and OUTPUT as frame patterns or folders.
    auto* frames =
        smooth_
            ->add_option("--frames", frames_,
                         "Frames of a pattern INPUT to process, e.g. 1001-1100 or 1-10,20,30-40")
            ->type_name("LIST")
            ->default_str("the frames on disk");
    smooth_
        ->add_option("--jobs,-j", values_.jobs,
                     "Frames smoothed at once (0: one per core, no more than there are "
                     "frames); the files are the same for any number")
        ->type_name("N")
        ->transform(kDecimal)
        ->check(CLI::Range(0, kMaxJobs))
        ->default_str("0 (all cores)");
    smooth_
        ->add_option("--threads", values_.threads,
                     "Host threads per frame: each render splits its rows into this many bands "
                     "at once; the files are the same for any number")
        ->type_name("N")
        ->transform(kDecimal)
        ->check(CLI::Range(1, kMaxHostThreads))
        ->default_str("cores / jobs, at least 1");
    smooth_
        ->add_option("--compression", values_.compression,
                     "Output compression: PNG level 0-9, or the format's method (TIFF lzw, zip, "
                     "none ...)")
        ->type_name("VALUE")
        ->default_str("the input's, else the format's default");
    smooth_->add_flag("--drop-alpha", values_.dropAlpha,
                      "Drop alpha where the output format cannot hold it (JPEG) instead of "
                      "refusing");
    smooth_->add_flag("--clip", values_.clip,
                      "Clip floating-point samples outside 0-1 (and NaN) to 0-1, counting them, "
                      "instead of refusing the file");
    smooth_->add_flag("--skip-existing", values_.skipExisting,
                      "Leave frames whose output file already exists (resume a run)");
    smooth_->add_flag("--keep-going", values_.keepGoing,
                      "Process every frame it can and list the failures at the end");
    // A whole shot on a Dask cluster: the command line goes to python3 -m telvix.cluster.
    auto* scheduler =
        smooth_
            ->add_option("--scheduler", values_.scheduler,
                         "Smooth the frame pattern INPUT on the Dask cluster of this scheduler "
                         "(tcp://HOST:8786), a chunk of frames per task (python3 -m "
                         "telvix.cluster)")
            ->type_name("URL");
    smooth_->add_option("--chunk", values_.chunk, "With --scheduler: frames per task")
        ->type_name("N")
        ->transform(kDecimal)
        ->check(CLI::Range(1, 1'000'000))
        ->needs(scheduler)
        ->default_str("10");
    smooth_
        ->add_flag("--literal", values_.literal,
                   "INPUT and OUTPUT are the names of one image each, taken as they are: '#', "
                   "'@' and '%' in them are not frame placeholders")
        ->excludes(frames)
        ->excludes(scheduler);
    smooth_
        ->add_option("--wait-timeout", values_.waitTimeout,
                     "With --scheduler: give up after this many seconds without a worker")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber)
        ->needs(scheduler)
        ->default_str("60");
    smooth_
        ->add_option("--report", values_.report,
                     "Write what became of each frame, and the totals, to this JSON file")
        ->type_name("FILE");
    auto* quiet = smooth_->add_flag("--quiet,-q", values_.quiet, "Print errors only");
    smooth_->add_flag("--verbose,-v", values_.verbose, "Print one line per frame")->excludes(quiet);

    about_ = app_.add_subcommand("about", "Print the effect's About text");
    about_->add_option("--plugin", values_.plugin, kPluginHelp)->type_name("PATH");

    params_ =
        app_.add_subcommand("params", "List the effect's parameters with defaults and ranges");
    params_->add_option("--plugin", values_.plugin, kPluginHelp)->type_name("PATH");
}

CommandLine CommandLineParser::parse(int argc, const char* const* argv)
{
    // CLI11 would only say that a subcommand is missing; name the word it did not know.
    const std::string first = argc > 1 ? argv[1] : "";
    if (!first.empty() && first[0] != '-' && first != smooth_->get_name() &&
        first != about_->get_name() && first != params_->get_name()) {
        throw UsageError(
            fmt::format("unknown command '{}'; expected smooth, about or params", argv[1]));
    }
    app_.parse(argc, argv);
    // Options without a value of their own (key, extent, depth) count only when given.
    CommandLine result = values_;
    if (about_->parsed()) {
        result.command = Command::About;
    } else if (params_->parsed()) {
        result.command = Command::Params;
    } else {
        result.command = Command::Smooth;
        if (smooth_->count("--key") > 0) result.key = parseKeyColour(key_);
        if (smooth_->count("--extent") > 0) result.extent = parseExtent(extent_);
        if (smooth_->count("--depth") > 0) result.depth = depth_;
        if (smooth_->count("--frames") > 0) result.frames = frames_;
    }
    return result;
}

}  // namespace telvix::cli
