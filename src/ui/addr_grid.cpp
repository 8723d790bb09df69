#include "ui/addr_grid.h"

#include <QHeaderView>

#include "ui/qt_text.h"

namespace orvalis::ui {

namespace {

// Table row r shows book row r + 1; the book's row 0 is the header.
constexpr int contactRows = store::bookRows - 1;

}  // namespace

AddrGrid::AddrGrid(store::AddrBook& book, QWidget* parent)
    : QTableWidget(contactRows, store::bookColumns, parent), book_(&book) {
  setObjectName(QStringLiteral("StringGrid"));
  verticalHeader()->hide();
  verticalHeader()->setMinimumSectionSize(rowHeight);
  verticalHeader()->setDefaultSectionSize(rowHeight);
  horizontalHeader()->setFixedHeight(rowHeight);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  horizontalHeader()->setHighlightSections(false);
  setColumnWidth(0, 64);
  setColumnWidth(1, 18);
  setColumnWidth(2, 75);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(true);
  QPalette p = palette();
  p.setColor(QPalette::Base, Qt::white);
  setPalette(p);
  connect(this, &QTableWidget::currentCellChanged, this,
          [this](int row, int, int, int) { cellChosen(row); });
  refresh();
}

void AddrGrid::refresh() {
  if (!book_) return;
  const QSignalBlocker block(this);
  QStringList titles;
  for (int col = 0; col < store::bookColumns; ++col) titles << qtText(book_->cell(col, 0));
  setHorizontalHeaderLabels(titles);
  for (int r = 0; r < contactRows; ++r) {
    for (int col = 0; col < store::bookColumns; ++col) {
      QTableWidgetItem* it = item(r, col);
      if (!it) {
        it = new QTableWidgetItem;
        it->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        setItem(r, col, it);
      }
      it->setText(qtText(book_->cell(col, r + 1)));
    }
  }
}

void AddrGrid::showCurrent() {
  if (!book_ || book_->currentRow() < 1) return;
  syncing_ = true;
  setCurrentCell(book_->currentRow() - 1, currentColumn() < 0 ? 0 : currentColumn());
  syncing_ = false;
}

void AddrGrid::detach() {
  disconnect(this, nullptr, this, nullptr);
  book_ = nullptr;
}

void AddrGrid::cellChosen(int tableRow) {
  if (!book_ || syncing_ || tableRow < 0) return;
  book_->selectRow(tableRow + 1);
}

}  // namespace orvalis::ui
