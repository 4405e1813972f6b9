// Installation manifests.
#include "platform/pnp/manifest.h"

#include "platform/kernel/unicode.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace platform::pnp {

namespace {

std::string Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

} // namespace

bool SameId(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; };
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

Manifest ParseManifest(std::string_view text, const std::string& origin)
{
    Manifest manifest;
    manifest.Origin = origin;
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (const auto comment = line.find('#'); comment != std::string_view::npos) {
            line = line.substr(0, comment);
        }
        const std::string content = Trim(line);
        if (content.empty()) {
            if (end == text.size()) {
                break;
            }
            continue;
        }
        const auto where = origin + ":" + std::to_string(lineNumber) + ": ";
        const auto equals = content.find('=');
        if (equals == std::string::npos) {
            throw std::runtime_error(where + "expected \"key = value\"");
        }
        const std::string key = Trim(std::string_view(content).substr(0, equals));
        const std::string value = Trim(std::string_view(content).substr(equals + 1));
        if (value.empty()) {
            throw std::runtime_error(where + "\"" + key + "\" has no value");
        }
        if (key == "service") {
            manifest.Service = Utf8ToUtf16(value);
        } else if (key == "class") {
            manifest.ClassGuid = Utf8ToUtf16(value);
        } else if (key == "id") {
            manifest.Ids.push_back(Utf8ToUtf16(value));
        } else {
            throw std::runtime_error(where + "unknown key \"" + key + "\"");
        }
        if (end == text.size()) {
            break;
        }
    }
    if (manifest.Service.empty() || manifest.ClassGuid.empty() || manifest.Ids.empty()) {
        throw std::runtime_error(origin + ": a manifest names a service, a class and at least one id");
    }
    return manifest;
}

std::vector<Manifest> LoadManifests(const std::string& directory)
{
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (entry.is_regular_file() && entry.path().extension() == ".manifest") {
            files.push_back(entry.path());
        }
    }
    if (error) {
        throw std::runtime_error(directory + ": cannot be read: " + error.message());
    }
    std::sort(files.begin(), files.end());
    std::vector<Manifest> manifests;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in && !in.eof()) {
            throw std::runtime_error(file.string() + ": cannot be read");
        }
        manifests.push_back(ParseManifest(text.str(), file.string()));
    }
    return manifests;
}

const Manifest* MatchDriver(const std::vector<Manifest>& manifests, const std::vector<std::u16string>& ids)
{
    for (const auto& id : ids) {
        for (const auto& manifest : manifests) {
            for (const auto& listed : manifest.Ids) {
                if (SameId(id, listed)) {
                    return &manifest;
                }
            }
        }
    }
    return nullptr;
}

} // namespace platform::pnp
