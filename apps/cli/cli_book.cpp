// The headless phone's address-book commands: the window's Ins and Del keys
// and the entry editor, on a row named by its number.

#include <charconv>
#include <string>

#include "cli/cli_phone.h"
#include "cli/words.h"
#include "store/addr_book.h"

namespace orvalis::cli {

namespace {

// The entry editor's limits, in characters.
constexpr std::size_t maxNickLength = 8;
constexpr std::size_t maxMemoLength = 50;

std::size_t characters(std::string_view utf8) {
  std::size_t n = 0;
  for (const char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

// A row number of the book, or 0.
int rowOf(std::string_view text) {
  int row = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), row);
  if (error != std::errc() || end != text.data() + text.size()) return 0;
  return row >= 1 && row < store::bookRows ? row : 0;
}

// What the book takes as a number: its text, leading zeros and all, read as
// a decimal of nine digits.
bool validNumber(std::string_view text) {
  std::int64_t n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  return error == std::errc() && end == text.data() + text.size() && n >= phone::minUserNumber &&
         n <= phone::maxUserNumber;
}

std::int32_t typeOfLetter(std::string_view letter) {
  if (letter == "N") return store::contactNormal;
  if (letter == "V") return store::contactVoiceCall;
  if (letter == "B") return store::contactBlackList;
  return -1;
}

int contactCount(const store::AddrBook& book) {
  int n = 0;
  for (int row = 1; row < store::bookRows; ++row)
    if (!book.cell(0, row).empty()) ++n;
  return n;
}

}  // namespace

void CliPhone::addBookCommands() {
  commands_.emplace("book", [this](std::string_view args) { bookCommand(args); });
}

void CliPhone::bookCommand(std::string_view args) {
  const auto [word, rest] = splitWord(args);
  if (word == "list" && rest.empty()) listBook();
  else if (word == "add") addToBook(rest);
  else if (word == "delete") deleteFromBook(rest);
  else if (word == "set") setInBook(rest);
  else ui_.print("error: expected: book list|add NUMBER|delete ROW|set ROW NICK N|V|B MEMO");
}

void CliPhone::listBook() {
  const store::AddrBook& book = phone_->addrBook;
  for (int row = 1; row < store::bookRows; ++row) {
    if (book.cell(0, row).empty()) continue;
    ui_.print("contact: " + std::to_string(row) + ' ' + book.cell(0, row) + ' ' +
              book.cell(1, row) + ' ' + book.cell(2, row) + ' ' + book.memoBook(row));
  }
}

void CliPhone::addToBook(std::string_view args) {
  const auto words = splitWords(args);
  if (words.size() != 1) {
    ui_.print("error: expected: book add NUMBER");
    return;
  }
  store::AddrBook& book = phone_->addrBook;
  const std::string_view text = words[0];
  const bool known = book.findNumber(text) != 0;
  if (!known && book.findFreeRow() == 0) {
    ui_.print("book: the address book is full");
    return;
  }
  book.addNumber(text);  // the book itself refuses an invalid number, with a message
  if (!known && validNumber(text) && book.findNumber(text) == 0)
    ui_.print("error: the address book could not be written");
}

void CliPhone::deleteFromBook(std::string_view args) {
  store::AddrBook& book = phone_->addrBook;
  const int row = rowOf(args);
  if (row == 0 || book.cell(0, row).empty()) {
    ui_.print("error: expected: book delete ROW, the row of a contact");
    return;
  }
  const int before = contactCount(book);
  book.selectRow(row);
  book.deleteCurrent();
  // A save that failed is undone by the reload that follows it.
  if (contactCount(book) == before) ui_.print("error: the address book could not be written");
}

void CliPhone::setInBook(std::string_view args) {
  const auto [rowText, afterRow] = splitWord(args);
  const auto [nick, afterNick] = splitWord(afterRow);
  const auto [letter, memoText] = splitWord(afterNick);
  store::AddrBook& book = phone_->addrBook;
  const int row = rowOf(rowText);
  const std::int32_t type = typeOfLetter(letter);
  if (row == 0 || book.cell(0, row).empty() || nick.empty() || type < 0) {
    ui_.print("error: expected: book set ROW NICK N|V|B MEMO, ROW the row of a contact");
    return;
  }
  if (characters(nick) > maxNickLength || characters(memoText) > maxMemoLength) {
    ui_.print("error: a nick has at most 8 characters, a memo at most 50");
    return;
  }
  // As the entry editor: an empty memo becomes the default one.
  const std::string_view memo = memoText.empty() ? std::string_view("New User") : memoText;
  book.selectRow(row);
  if (!book.updateCurrent(nick, type, memo))
    ui_.print("error: the address book could not be written");
}

std::string CliPhone::numberOfNick(const std::string& text) const {
  const store::AddrBook& book = phone_->addrBook;
  for (int row = 1; row < store::bookRows; ++row)
    if (!text.empty() && book.cell(0, row) == text) return book.cell(2, row);
  return text;
}

void CliPhone::showNameOf(const std::string& number) {
  const store::AddrBook& book = phone_->addrBook;
  if (const int row = book.findNumber(number); row != 0) ui_.print("name: " + book.cell(0, row));
}

}  // namespace orvalis::cli
