// The names and values the window shares with the Python host (varnel_host).
// Each is written here and nowhere else under model/; tests/test_shared_constants.py
// proves every one equal to its Python counterpart and fails on any other copy.
#pragma once

namespace gui {

// Worker channel (varnel_host.channel): the keys of Queue_All_variable and
// Event_All_variable, and the receipt that closes a run.
inline constexpr const char *kStartKey = "起始數據";
inline constexpr const char *kReceiptKey = "get_receipt";
inline constexpr const char *kEndKey = "end";
inline constexpr const char *kCompletionMarker = "$$$檢索報告完成$$$";

// The start request's entry holding the search command (varnel_host.request),
// also the entry-table row the user types it into.
inline constexpr const char *kCommandKey = "檢索指令";

// The settings record's entries that go to the worker, with the record's
// defaults (varnel_host.settings). The ratio is the integer 1 (100 %).
inline constexpr const char *kRatioKey = "文字大小比例";
inline constexpr const char *kChineseFontKey = "中文文字字體";
inline constexpr const char *kLatinFontKey = "英文文字字體";
inline constexpr const char *kCountKey = "分析最接近專利數量";
inline constexpr int kDefaultRatio = 1;
inline constexpr const char *kDefaultChineseFont = "標楷體";
inline constexpr const char *kDefaultLatinFont = "Calibri";
inline constexpr int kDefaultCount = 5;

// The product's name: the window's title, its folder inside the maker's
// folder on the drive root (varnel_host.paths) and the help page's path.
inline constexpr const char *kMakerFolder = "tessaloom";
inline constexpr const char *kProductName = "VARNEL專利檢索軟體";

// The help page (varnel_host.helpserver): https://kHelpHost:kHelpPort/kProductName.
inline constexpr const char *kHelpHost = "localhost";
inline constexpr int kHelpPort = 34008;

}  // namespace gui
