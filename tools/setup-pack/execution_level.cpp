// Reads the manifest's XML as far as tags and attributes go: a comment or another element never passes for the level.
#include "execution_level.h"

#include <cstring>

namespace {

bool IsSpace(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

size_t SkipSpaces(ByteSpan text, size_t at)
{
    while (at < text.size && IsSpace(text.data[at]))
        ++at;
    return at;
}

bool StartsWith(ByteSpan text, size_t at, const char* word)
{
    size_t n = std::strlen(word);
    return at <= text.size && text.size - at >= n && std::memcmp(text.data + at, word, n) == 0;
}

// Just past the first word at or after from, or the end of the text.
size_t PastNext(ByteSpan text, size_t from, const char* word)
{
    for (size_t at = from; at < text.size; ++at) {
        if (StartsWith(text, at, word))
            return at + std::strlen(word);
    }
    return text.size;
}

// A name as the text spells it: up to a space, '=', '/' or '>'.
size_t NameEnd(ByteSpan text, size_t at)
{
    while (at < text.size && !IsSpace(text.data[at]) && text.data[at] != '=' && text.data[at] != '/' &&
           text.data[at] != '>')
        ++at;
    return at;
}

// Without its namespace prefix: a manifest may write asmv3:requestedExecutionLevel.
std::string LocalName(ByteSpan text, size_t start, size_t end)
{
    std::string name(text.data + start, text.data + end);
    return name.substr(name.rfind(':') + 1);
}

// The attributes of the start tag from at to its '>': the level's value when the tag is the element's.
size_t ReadAttributes(ByteSpan text, size_t at, bool wanted, std::vector<LevelText>* found)
{
    while (at < text.size && text.data[at] != '>') {
        if (IsSpace(text.data[at]) || text.data[at] == '/') {
            ++at;
            continue;
        }
        size_t name = at;
        at = NameEnd(text, at);
        bool level = wanted && std::string(text.data + name, text.data + at) == "level";
        at = SkipSpaces(text, at);
        if (at >= text.size || text.data[at] != '=')
            continue;
        at = SkipSpaces(text, at + 1);
        if (at >= text.size || (text.data[at] != '"' && text.data[at] != '\''))
            continue;
        const void* close = std::memchr(text.data + at + 1, text.data[at], text.size - at - 1);
        if (!close)
            return text.size;
        size_t value = at + 1;
        at = static_cast<size_t>(static_cast<const uint8_t*>(close) - text.data);
        if (level)
            found->push_back(LevelText{value, at - value});
        ++at;
    }
    return at;
}

}  // namespace

std::vector<LevelText> FindExecutionLevels(ByteSpan text)
{
    std::vector<LevelText> found;
    for (size_t at = 0; at < text.size;) {
        if (text.data[at] != '<')
            ++at;
        else if (StartsWith(text, at, "<!--"))
            at = PastNext(text, at + 4, "-->");
        else if (StartsWith(text, at, "<![CDATA["))
            at = PastNext(text, at + 9, "]]>");
        else if (StartsWith(text, at, "<?"))
            at = PastNext(text, at + 2, "?>");
        else if (StartsWith(text, at, "<!"))
            at = PastNext(text, at + 2, ">");
        else {
            size_t name = at + 1, end = NameEnd(text, name);
            at = ReadAttributes(text, end, LocalName(text, name, end) == "requestedExecutionLevel", &found);
        }
    }
    return found;
}

bool SetExecutionLevel(std::vector<uint8_t>* manifest, const std::string& level)
{
    std::vector<LevelText> found = FindExecutionLevels(ByteSpan{manifest->data(), manifest->size()});
    // From the last, so that the places found before it stay where they were.
    for (auto value = found.rbegin(); value != found.rend(); ++value) {
        manifest->erase(manifest->begin() + static_cast<std::ptrdiff_t>(value->at),
                        manifest->begin() + static_cast<std::ptrdiff_t>(value->at + value->size));
        manifest->insert(manifest->begin() + static_cast<std::ptrdiff_t>(value->at), level.begin(), level.end());
    }
    return !found.empty();
}
