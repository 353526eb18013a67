#include "BlockLayoutReleaser.h"

#include <QAbstractTextDocumentLayout>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>
#include <vector>

void BlockLayoutReleaser::noteLaidOut(int blockNumber)
{
    from = std::min(from, std::max(0, blockNumber));
    upTo = std::max(upTo, blockNumber);
}

int BlockLayoutReleaser::releaseBefore(int keepFrom)
{
    keepFrom = std::min(keepFrom, document.blockCount());
    // The first block has no break before it; it is one block at most.
    const int first = std::max(from, 1);
    from = std::max(from, keepFrom);
    if (first >= keepFrom)
        return 0;

    // Every block of the edited stretch is counted as one line afterwards, as if it had
    // never been laid out; the counts are put back, or the widget would lay out blocks
    // in the middle of the text to find its place again.
    QTextBlock block = document.findBlockByNumber(first - 1);
    std::vector<int> lineCounts;
    lineCounts.reserve(keepFrom - first + 1);
    for (QTextBlock b = block; b.isValid() && b.blockNumber() < keepFrom; b = b.next())
        lineCounts.push_back(b.lineCount());

    block = block.next();
    int renewed = 0;
    // Nothing in sight changes, but the widget would repaint its whole view for an
    // edit of two blocks; the size is told below.
    QAbstractTextDocumentLayout* layout = document.documentLayout();
    const QSignalBlocker quiet(layout);
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    while (block.isValid() && block.blockNumber() < keepFrom) {
        const QTextBlock next = block.next();
        // A block that came and went while the view was elsewhere was never laid out,
        // or counts its lines as one.
        if (block.blockNumber() <= upTo || block.lineCount() > 1) {
            const QTextBlock previous = block.previous();
            const int previousState = previous.userState();
            const int state = block.userState();
            cursor.setPosition(block.position() - 1);
            cursor.deleteChar(); // the block's data goes, with its layout
            cursor.insertBlock();
            cursor.block().setUserState(state);
            cursor.block().previous().setUserState(previousState);
            ++renewed;
        }
        block = next;
    }
    cursor.endEditBlock();
    layout->blockSignals(false);

    if (renewed > 0) {
        // Renewing keeps the number of blocks, so the same stretch is counted again.
        QTextBlock b = document.findBlockByNumber(first - 1);
        for (const int lines : lineCounts) {
            b.setLineCount(lines);
            b = b.next();
        }
        emit layout->documentSizeChanged(layout->documentSize());
    }
    return renewed;
}
