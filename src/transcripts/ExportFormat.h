#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvox {

// What a finished transcript can be exported as; the raw value is the file extension.
enum class ExportFormat { markdown, srt, word, pdf };

inline std::string_view rawValue(ExportFormat format) {
    switch (format) {
    case ExportFormat::markdown:
        return "md";
    case ExportFormat::srt:
        return "srt";
    case ExportFormat::word:
        return "docx";
    case ExportFormat::pdf:
        return "pdf";
    }
    return "md";
}

inline std::optional<ExportFormat> exportFormatFromRaw(std::string_view raw) {
    for (ExportFormat f :
         {ExportFormat::markdown, ExportFormat::srt, ExportFormat::word, ExportFormat::pdf})
        if (rawValue(f) == raw)
            return f;
    return std::nullopt;
}

// The export sits beside the transcript with the same base name: Teams_Meeting_14-05.md.
inline std::filesystem::path exportPath(const std::filesystem::path& transcript,
                                        ExportFormat format) {
    std::filesystem::path result = transcript;
    std::string extension = ".";
    result.replace_extension(extension.append(rawValue(format)));
    return result;
}

} // namespace tallyvox
