// Styles and fonts shared by the window's pages and dialogs.
#pragma once

namespace vorlenta::ui {

// The main buttons (Start, Scan, Recover) when they can be pressed…
inline constexpr char main_button_style[] =
    "QPushButton{background-color: rgb(16, 78, 159); color: white; border-radius: 10px;"
    " border: 2px groove white; border-style: outset;}"
    "QPushButton:hover{background-color: rgb(156, 156, 156);}"
    "QPushButton:pressed{background-color: rgb(156, 156, 156); border-style: inset;}";
// …and when they cannot.
inline constexpr char main_button_style_no_file[] =
    "QPushButton{background-color: rgb(191, 191, 191); color: gray; border-radius: 10px;"
    " border: 2px groove white; border-style: outset;}";

inline constexpr char kWindowStyle[] = "background-color: rgb(251, 252, 255);";
// Frameless dialogs need an edge of their own to stand out from the window behind them.
inline constexpr char kDialogStyle[] =
    "QDialog{background-color: rgb(251, 252, 255); border: 2px solid rgb(16, 78, 159);}";
inline constexpr char kHeaderStripStyle[] = "background-color: rgb(236, 246, 255);";
inline constexpr char kSmallButtonStyle[] = "background-color: rgb(60, 179, 120);";
inline constexpr char kTreeItemStyle[] = "QTreeWidget::item{height:30px};";

inline constexpr char kFontFamily[] = "Arial";

}  // namespace vorlenta::ui
