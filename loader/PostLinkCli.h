// Headless post-link: `brennock --postlink FILE.BIN [FILE.BIN ...]`.
//
// Runs the same conversion as the Load command without a display: progress as
// one line on stderr, messages on stderr, the files written on stdout (one
// path a line). Exit status 0 when every file converted, 1 when a conversion
// failed, 2 when no file was named.
#pragma once

int postLinkMain(int argc, char** argv);
