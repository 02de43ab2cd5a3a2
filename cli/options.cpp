#include "options.h"

#include <fmt/format.h>

#include <type_traits>

#include "cli_error.h"
#include "option_table.h"
#include "telvix_project_version.h"

namespace telvix::cli {
namespace {

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

// Adds the declared option `name` to `app`: its help, value name, checks and default as the
// option table states them.
template <typename Value>
CLI::Option* add(CLI::App* app, std::string_view name, Value& value)
{
    const OptionSpec& spec = option(name);
    std::string names = fmt::format("--{}", spec.name);
    if (!spec.shortName.empty()) names += fmt::format(",-{}", spec.shortName);
    const std::string help(spec.help);
    CLI::Option* added = nullptr;
    if constexpr (std::is_same_v<Value, bool>) {
        added = app->add_flag(names, value, help);
    } else {
        added = app->add_option(names, value, help);
    }
    if (!spec.valueName.empty()) added->type_name(std::string(spec.valueName));
    switch (spec.kind) {
        case OptionKind::Integer:
            added->transform(kDecimal)->check(CLI::Range(spec.min, spec.max));
            break;
        case OptionKind::Either:
            added->transform(kDecimal)->check(CLI::IsMember({spec.min, spec.max}));
            break;
        case OptionKind::Seconds:
            added->check(CLI::NonNegativeNumber);
            break;
        default:
            break;
    }
    if (spec.hasDefaultValue()) {
        added->default_str(fmt::format("{}", spec.defaultValue));
    } else if (!spec.defaultText.empty()) {
        added->default_str(std::string(spec.defaultText));
    }
    return added;
}

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
    add(smooth_, "tolerance", values_.tolerance);
    add(smooth_, "key", key_);
    add(smooth_, "extent", extent_);
    add(smooth_, "depth", depth_);
    add(smooth_, "plugin", values_.plugin);

    // Sequences: INPUT and OUTPUT as frame patterns or folders.
    auto* frames = add(smooth_, "frames", frames_);
    add(smooth_, "jobs", values_.jobs);
    add(smooth_, "threads", values_.threads);
    add(smooth_, "compression", values_.compression);
    add(smooth_, "drop-alpha", values_.dropAlpha);
    add(smooth_, "clip", values_.clip);
    add(smooth_, "skip-existing", values_.skipExisting);
    add(smooth_, "keep-going", values_.keepGoing);
    // A whole shot on a Dask cluster: the command line goes to python3 -m telvix.cluster.
    auto* scheduler = add(smooth_, "scheduler", values_.scheduler);
    add(smooth_, "chunk", values_.chunk)->needs(scheduler);
    add(smooth_, "literal", values_.literal)->excludes(frames)->excludes(scheduler);
    add(smooth_, "wait-timeout", values_.waitTimeout)->needs(scheduler);
    add(smooth_, "report", values_.report);
    auto* quiet = add(smooth_, "quiet", values_.quiet);
    add(smooth_, "verbose", values_.verbose)->excludes(quiet);

    about_ = app_.add_subcommand("about", "Print the effect's About text");
    add(about_, "plugin", values_.plugin);

    params_ =
        app_.add_subcommand("params", "List the effect's parameters with defaults and ranges");
    add(params_, "plugin", values_.plugin);
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
