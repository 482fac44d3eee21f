// Adds a folder to the user's PATH, or takes it away again, for the Windows
// installer and uninstaller: whatever the PATH's length (Windows allows
// 32,767 characters, where the installer's own strings hold 1,023), every
// other entry kept as it is, in its place, and the value's type kept. A PATH
// that cannot be read whole is never written. Run by the installer from its
// temporary folder; not installed.
//
//   path_entry add FOLDER              exit 0: added; 3: PATH made for it; 4: there already;
//                                      5: the PATH would pass the length Windows allows, and
//                                      is left as it is
//   path_entry remove FOLDER [made]    exit 0: taken away (with made, the PATH too if nothing
//                                      else is left in it); 4: not there
//   exit 1: the PATH could not be read or written, or the folder's name holds
//   the PATH's separator; it is as it was. What was done, or why not, is
//   printed for the installer's details.

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int exit_done = 0;
constexpr int exit_failed = 1;
constexpr int exit_made = 3;
constexpr int exit_unchanged = 4;
constexpr int exit_too_long = 5;

// The longest environment variable Windows allows, in characters.
constexpr std::size_t max_path_length = 32'767;

const wchar_t* const environment_key = L"Environment";
const wchar_t* const path_value = L"Path";

struct user_path {
    bool exists = false;
    DWORD type = REG_EXPAND_SZ;
    std::wstring text;
};

void say(const wchar_t* text, const std::wstring& detail = L"")
{
    std::wprintf(L"%ls%ls\n", text, detail.c_str());
    std::fflush(stdout);
}

// The user's PATH as stored, or nothing when it cannot be read whole.
std::optional<user_path> read_path(HKEY key)
{
    user_path path;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, path_value, nullptr, &path.type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return path;
    for (int tries = 0; status == ERROR_SUCCESS || status == ERROR_MORE_DATA; ++tries) {
        if (path.type != REG_SZ && path.type != REG_EXPAND_SZ)
            return std::nullopt; // not text: not ours to rewrite
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = size;
        status = RegQueryValueExW(key, path_value, nullptr, &path.type, reinterpret_cast<BYTE*>(data.data()), &got);
        if (status == ERROR_SUCCESS) {
            std::wstring text(data.data(), got / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0') // stored with or without its terminator
                text.pop_back();
            path.exists = true;
            path.text = text;
            return path;
        }
        if (status != ERROR_MORE_DATA || tries > 3)
            break;
        size = got; // it grew meanwhile
    }
    return std::nullopt;
}

bool write_path(HKEY key, const user_path& path)
{
    return RegSetValueExW(key, path_value, 0, path.type, reinterpret_cast<const BYTE*>(path.text.c_str()),
                          static_cast<DWORD>((path.text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// Consoles and Explorer opened later take the new PATH.
void announce()
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"), SMTO_ABORTIFHUNG, 500,
                        &result);
}

std::vector<std::wstring> entries_of(const std::wstring& text)
{
    std::vector<std::wstring> entries;
    std::size_t from = 0;
    for (std::size_t at = text.find(L';'); at != std::wstring::npos; at = text.find(L';', from)) {
        entries.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    entries.push_back(text.substr(from));
    return entries;
}

// An entry as Windows reads it: quotes around it and separators after it
// do not change the folder it names (C:\Tools\ is C:\Tools).
std::wstring_view folder_named(std::wstring_view entry)
{
    if (entry.size() >= 2 && entry.front() == L'"' && entry.back() == L'"')
        entry = entry.substr(1, entry.size() - 2);
    while (entry.size() > 1 && (entry.back() == L'\\' || entry.back() == L'/') && entry[entry.size() - 2] != L':')
        entry.remove_suffix(1);
    return entry;
}

// Compared as Windows compares file names: without regard to case.
bool same_folder(std::wstring_view a, std::wstring_view b)
{
    a = folder_named(a);
    b = folder_named(b);
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

int add(HKEY key, const std::wstring& folder)
{
    const std::optional<user_path> path = read_path(key);
    if (!path) {
        say(L"Your PATH could not be read whole, so it was left as it is: add this folder to it yourself: ", folder);
        return exit_failed;
    }
    if (path->exists && !path->text.empty()) {
        for (const std::wstring& entry : entries_of(path->text))
            if (same_folder(entry, folder)) {
                say(L"Your PATH holds the folder already: ", folder);
                return exit_unchanged;
            }
    }
    user_path changed = *path;
    // Always with a separator of its own, which the removal takes away with it.
    changed.text = path->exists ? path->text + L";" + folder : folder;
    if (changed.text.size() > max_path_length) {
        say(L"Your PATH would pass the 32,767 characters Windows allows with this folder, so it was left as it is: add the "
            L"folder to it yourself, or make room: ",
            folder);
        return exit_too_long;
    }
    if (!write_path(key, changed)) {
        say(L"Your PATH could not be written: it is as it was.");
        return exit_failed;
    }
    announce();
    say(path->exists ? L"Added to your PATH: " : L"Your PATH was made, for: ", folder);
    return path->exists ? exit_done : exit_made;
}

int remove(HKEY key, const std::wstring& folder, bool made)
{
    const std::optional<user_path> path = read_path(key);
    if (!path) {
        say(L"Your PATH could not be read whole, so it was left as it is: take this folder from it yourself: ", folder);
        return exit_failed;
    }
    if (!path->exists) {
        say(L"There is no PATH to take the folder from.");
        return exit_unchanged;
    }
    // The last entry that names the folder: the installer put it at the end.
    const std::vector<std::wstring> entries = entries_of(path->text);
    std::size_t found = entries.size();
    for (std::size_t i = entries.size(); i-- > 0;)
        if (same_folder(entries[i], folder)) {
            found = i;
            break;
        }
    if (found == entries.size()) {
        say(L"Your PATH does not hold the folder: ", folder);
        return exit_unchanged;
    }
    // The entry goes with the separator before it (after it, when first).
    std::wstring text;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i == found)
            continue;
        if (!(i == 0 || (found == 0 && i == 1)))
            text += L';';
        text += entries[i];
    }
    if (text.empty() && made) {
        if (RegDeleteValueW(key, path_value) != ERROR_SUCCESS) {
            say(L"Your PATH could not be written: it is as it was.");
            return exit_failed;
        }
    } else {
        user_path changed = *path;
        changed.text = text;
        if (!write_path(key, changed)) {
            say(L"Your PATH could not be written: it is as it was.");
            return exit_failed;
        }
    }
    announce();
    say(L"Taken from your PATH: ", folder);
    return exit_done;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const std::wstring action = argc > 1 ? argv[1] : L"";
    if (argc < 3 || (action != L"add" && action != L"remove")) {
        say(L"usage: path_entry add|remove FOLDER [made]");
        return exit_failed;
    }
    // A folder's name may hold the PATH's separator: such a folder cannot be
    // one entry of it.
    if (std::wstring(argv[2]).find(L';') != std::wstring::npos) {
        say(L"The folder's name holds a semicolon, which separates the PATH's entries: it cannot be put on the PATH: ", argv[2]);
        return exit_failed;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, environment_key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        say(L"Your environment's settings could not be opened: your PATH is as it was.");
        return exit_failed;
    }
    const int status = action == L"add" ? add(key, argv[2]) : remove(key, argv[2], argc > 3 && std::wstring(argv[3]) == L"made");
    RegCloseKey(key);
    return status;
}
