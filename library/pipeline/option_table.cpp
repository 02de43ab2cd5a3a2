#include "option_table.h"

#include <fmt/format.h>

#include <stdexcept>

namespace telvix::cli {

const OptionSpec& option(std::string_view name)
{
    for (const OptionSpec& spec : kOptions) {
        if (spec.name.size() != name.size()) continue;
        bool same = true;
        for (std::size_t i = 0; same && i < name.size(); ++i) {
            same = spec.name[i] == (name[i] == '_' ? '-' : name[i]);
        }
        if (same) return spec;
    }
    throw std::out_of_range(fmt::format("no option named '{}'", name));
}

std::string pythonName(const OptionSpec& spec)
{
    std::string name(spec.name);
    for (char& c : name) {
        if (c == '-') c = '_';
    }
    return name;
}

namespace {

std::string defaultCell(const OptionSpec& spec)
{
    if (spec.hasDefaultValue()) return fmt::format("{}", spec.defaultValue);
    return spec.defaultText.empty() ? "-" : std::string(spec.defaultText);
}

std::string pythonCell(const OptionSpec& spec)
{
    static constexpr struct {
        unsigned place;
        std::string_view function;
    } kFunctions[] = {{kInSmooth, "smooth"},
                      {kInFile, "smooth_file"},
                      {kInSequence, "smooth_sequence"},
                      {kInShot, "cluster.smooth_shot"}};
    std::string cell;
    for (const auto& [place, function] : kFunctions) {
        if ((spec.where & place) == 0) continue;
        cell += fmt::format("{}`{}`", cell.empty() ? "" : ", ", function);
    }
    return cell.empty() ? "-" : fmt::format("`{}=` in {}", pythonName(spec), cell);
}

}  // namespace

std::string optionTableMarkdown()
{
    std::string table =
        "| option | default | in Python | what it does |\n| --- | --- | --- | --- |\n";
    for (const OptionSpec& spec : kOptions) {
        std::string flag = fmt::format("`--{}", spec.name);
        if (!spec.valueName.empty()) flag += fmt::format(" {}", spec.valueName);
        flag += '`';
        if (!spec.shortName.empty()) flag += fmt::format(", `-{}`", spec.shortName);
        std::string range;
        if (spec.kind == OptionKind::Integer) {
            range = fmt::format(" ({} to {})", spec.min, spec.max);
        }
        table += fmt::format("| {} | {} | {} | {}{} |\n", flag, defaultCell(spec), pythonCell(spec),
                             spec.help, range);
    }
    return table;
}

}  // namespace telvix::cli
