#include "extcap/extcap_request.hpp"

#include "extcap/capture_report.hpp"
#include "system/path_text.hpp"
#include "system/system_files.hpp"

#include <string_view>
#include <vector>

namespace wpan2pcap {

namespace {

constexpr const char* usage_text =
    "wpan2pcap-extcap " WPAN2PCAP_VERSION ": Wireshark's interface to a capture of 151-byte IEEE 802.15.4 records\n"
    "Wireshark runs it; by hand:\n"
    "  wpan2pcap-extcap --extcap-interfaces\n"
    "  wpan2pcap-extcap --extcap-interface wpan2pcap --extcap-dlts | --extcap-config\n"
    "  wpan2pcap-extcap --capture --extcap-interface wpan2pcap --fifo PIPE --source FILE [--follow] [--record-numbers]\n"
    "  wpan2pcap-extcap --extcap-version | --help\n"
    "The capture goes to PIPE (/dev/stdout for sshdump) as the PCAP wpan2pcap writes, or as pcapng with\n"
    "--record-numbers; --follow reads on as the file grows, until stopped (SIGINT, SIGTERM).\n";

constexpr const char* no_capture_filters =
    "capture filters are not supported: leave the capture filter empty and use a display filter";

// Options and whether they take a value.
enum class value { none, required, optional };

struct known_option {
    std::string_view name;
    enum value value;
};

constexpr known_option known_options[] = {
    {"--extcap-interfaces", value::none}, {"--extcap-dlts", value::none}, {"--extcap-config", value::none},
    {"--capture", value::none},           {"--follow", value::none},      {"--debug", value::none},
    {"--record-numbers", value::none},    {"--help", value::none},
    // Wireshark gives its own version, --extcap-version=4.0; alone, the
    // option asks for this program's, as of Wireshark's own extcap programs.
    {"--extcap-version", value::optional},
    {"--extcap-interface", value::required}, {"--fifo", value::required}, {"--source", value::required},
    {"--extcap-capture-filter", value::required}, {"--debug-file", value::required},
    {"--extcap-control-in", value::required}, {"--extcap-control-out", value::required},
};

void take(extcap_request& request, std::string_view option, const std::filesystem::path* value)
{
    using action = extcap_request::action;
    const auto ask = [&request](action what) {
        if (request.what != action::none && request.what != what)
            request.error = "give only one of --extcap-interfaces, --extcap-dlts, --extcap-config and --capture";
        request.what = what;
    };
    if (option == "--extcap-interfaces")
        ask(action::interfaces);
    else if (option == "--extcap-dlts")
        ask(action::dlts);
    else if (option == "--extcap-config")
        ask(action::config);
    else if (option == "--capture")
        ask(action::capture);
    else if (option == "--help")
        ask(action::usage);
    else if (option == "--extcap-version")
        request.version_asked = true;
    else if (option == "--follow")
        request.follow = true;
    else if (option == "--record-numbers")
        request.record_numbers = true;
    else if (option == "--debug")
        request.debug = true;
    else if (option == "--extcap-interface")
        request.interface = path_text(*value);
    else if (option == "--fifo")
        request.fifo = *value;
    else if (option == "--source")
        request.source = *value;
    else if (option == "--extcap-capture-filter")
        request.capture_filter = path_text(*value);
    else if (option == "--debug-file")
        request.debug_file = *value;
    else if (option == "--extcap-control-in")
        request.control_in = *value;
    else if (option == "--extcap-control-out")
        request.control_out = *value;
}

std::string checked(extcap_request& request)
{
    using action = extcap_request::action;
    // A filter with no --capture: Wireshark checks it as it is typed.
    if (request.what == action::none && request.capture_filter)
        request.what = action::check_filter;
    if (request.what == action::none && request.version_asked)
        request.what = action::version;
    if (request.what == action::none)
        return "nothing asked: give --extcap-interfaces, --extcap-dlts, --extcap-config or --capture";
    if (request.what == action::interfaces || request.what == action::version || request.what == action::usage)
        return "";
    if (!request.interface)
        return "no interface given: add --extcap-interface " + std::string(extcap_interface_name);
    if (*request.interface != extcap_interface_name)
        return "unknown interface " + in_quotes(*request.interface) + ": the only interface here is " + in_quotes(extcap_interface_name);
    if (request.what != action::capture)
        return "";
    if (request.capture_filter && !request.capture_filter->empty())
        return no_capture_filters;
    if (!request.fifo)
        return "no pipe given: add --fifo PATH";
    if (!request.source)
        return "no source file given: choose the record capture to read (--source FILE)";
    return "";
}

} // namespace

extcap_request parse_extcap_request(std::span<const std::filesystem::path> arguments)
{
    extcap_request request;
    // Every argument is taken, even after one that is wrong: a capture that
    // cannot be carried out still needs the control pipes Wireshark named.
    std::string first_error;
    const auto keep_first = [&request, &first_error] {
        if (first_error.empty())
            first_error = request.error;
        request.error.clear();
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string word = path_text(arguments[i]);
        const std::string_view name = std::string_view(word).substr(0, word.find('='));
        const known_option* option = nullptr;
        for (const known_option& known : known_options)
            option = known.name == name ? &known : option;
        const bool next_is_a_value = i + 1 < arguments.size() && !path_text(arguments[i + 1]).starts_with("--");
        if (option == nullptr) {
            request.error = "unknown option " + in_quotes(name);
        } else if (option->value == value::none) {
            if (name.size() != word.size())
                request.error = "option " + std::string(name) + " takes no value";
            else
                take(request, name, nullptr);
        } else if (name.size() != word.size()) { // --option=value
            const std::filesystem::path given = arguments[i].native().substr(name.size() + 1);
            take(request, name, &given);
        } else if (option->value == value::required ? i + 1 < arguments.size() : next_is_a_value) {
            take(request, name, &arguments[++i]);
        } else if (option->value == value::optional) {
            take(request, name, nullptr);
        } else {
            request.error = "option " + std::string(name) + " needs a value";
        }
        keep_first();
    }
    request.error = first_error.empty() ? checked(request) : first_error;
    return request;
}

void answer_extcap_question(const extcap_request& request, std::ostream& out, const std::optional<std::filesystem::path>& help)
{
    using action = extcap_request::action;
    if (request.what == action::usage) {
        out << usage_text;
        return;
    }
    if (request.what == action::interfaces || request.what == action::version) {
        out << "extcap {version=" WPAN2PCAP_VERSION "}";
        if (help)
            out << "{help=" << file_url(*help) << "}";
        out << "\n";
        if (request.what == action::version)
            return;
        out << "interface {value=" << extcap_interface_name << "}{display=" << extcap_interface_display << "}\n"
            << "control {number=0}{type=button}{role=logger}{display=Log}"
               "{tooltip=What the capture met: records skipped, a new capture in the followed file, the end of the file}\n";
    } else if (request.what == action::dlts) {
        out << "dlt {number=195}{name=IEEE802_15_4_WITHFCS}{display=IEEE 802.15.4 frames with FCS}\n";
    } else if (request.what == action::check_filter) {
        if (!request.capture_filter->empty())
            out << no_capture_filters << "\n";
    } else if (request.what == action::config) {
        out << "arg {number=0}{call=--source}{display=Record capture}{type=fileselect}{mustexist=true}{required=true}"
               "{fileext=Record captures (*.bin)}{group=Capture}{tooltip=A capture of 151-byte IEEE 802.15.4 records}\n"
            << "arg {number=1}{call=--follow}{display=Follow the file as it grows}{type=boolflag}{group=Capture}"
               "{tooltip=Go on reading the records appended to the file until the capture is stopped}\n"
            << "arg {number=2}{call=--record-numbers}{display=Record numbers and flags (pcapng)}{type=boolflag}{group=Capture}"
               "{tooltip=Capture as pcapng, each packet carrying its record's number as the packet ID and its number and "
               "flags as a comment}\n";
    }
}

std::optional<std::filesystem::path> help_file()
{
    // Only the README installed with the program, or one named for it: the
    // extcap folder is shared by every extcap program, and a README.md
    // beside this one may be another tool's. No place is compiled in, so a
    // program built anywhere looks in the same places.
    std::vector<std::filesystem::path> places;
    const std::filesystem::path folder = program_folder();
#ifdef WPAN2PCAP_DOCS_FROM_PROGRAM
    if (!folder.empty())
        places.push_back(folder / WPAN2PCAP_DOCS_FROM_PROGRAM / "README.md");
#endif
    if (const std::optional<std::filesystem::path> installed = installed_folder())
        places.push_back(*installed / "README.md");
    if (!folder.empty())
        places.push_back(folder / readme_named_for_the_program);
    for (const std::filesystem::path& place : places) {
        std::error_code missing;
        if (std::filesystem::is_regular_file(place, missing))
            return std::filesystem::absolute(place, missing).lexically_normal();
    }
    return std::nullopt;
}

} // namespace wpan2pcap
