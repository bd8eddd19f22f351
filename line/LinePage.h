#pragma once

// The page, its script and its style, served as they are: the script is a file of its own, so the page's
// Content-Security-Policy needs no inline script.
extern const char* const kLinePageHtml;
extern const char* const kLinePageScript;
extern const char* const kLinePageStyle;
