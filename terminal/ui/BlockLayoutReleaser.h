// BlockLayoutReleaser: gives back the line layouts the text widget keeps for blocks that
// have left the view.
//
// The widget lays out a block when it is shown or when the caret is in it, and keeps
// that layout (about 64 bytes per line) for as long as the block exists; clearing a
// layout keeps its memory. Received text always passes through the last block and the
// bottom of the view, so a full text of short lines would otherwise hold a layout for
// every line: about 200 MB for a text of empty lines. A block's layout goes only with
// the block itself, so a block that may hold one is renewed: the break before it is
// taken out and put back, which leaves the text, every position and the blocks' states
// as they were, with a new block that holds no layout until it is shown again.
#pragma once

#include <QTextDocument>

class BlockLayoutReleaser
{
public:
    explicit BlockLayoutReleaser(QTextDocument& document) : document(document) {}

    // The blocks from this one on may hold layouts (they were shown, or took text). Of
    // the blocks after the highest one noted, only those that count more than one
    // line can hold a layout worth giving back.
    void noteLaidOut(int blockNumber);
    // Renews the blocks that may hold layouts below keepFrom; returns how many.
    int releaseBefore(int keepFrom);
    // The text was replaced, or blocks were removed before those noted.
    void forgetAll()
    {
        from = 0;
        upTo = document.blockCount();
    }

private:
    QTextDocument& document;
    int from = 0; // blocks below this hold no layout
    int upTo = 0; // the highest block noted
};
