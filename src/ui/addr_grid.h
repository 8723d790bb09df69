#pragma once
// The address-book list: the book's title row as the header and its 49
// contact rows below. Choosing a row makes it the book's current row.

#include <QTableWidget>

#include "store/addr_book.h"

namespace orvalis::ui {

class AddrGrid : public QTableWidget {
  Q_OBJECT

 public:
  static constexpr int rowHeight = 15;

  AddrGrid(store::AddrBook& book, QWidget* parent);

  // Shows the book's cells again.
  void refresh();
  // Selects the book's current row.
  void showCurrent();
  // The book goes away before the grid: nothing reads it from now on.
  void detach();

 private:
  void cellChosen(int tableRow);

  store::AddrBook* book_;
  bool syncing_ = false;
};

}  // namespace orvalis::ui
