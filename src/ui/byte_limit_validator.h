#pragma once
// Edits whose text the settings keep in a fixed number of bytes: the limit
// counts UTF-8 bytes, not characters, so that all that is typed is kept (ten
// Cyrillic letters are twenty bytes). An entry past the limit is refused,
// like a key past a length limit.

#include <QValidator>

#include <cstddef>

namespace orvalis::ui {

class ByteLimitValidator final : public QValidator {
 public:
  enum class Spaces { allowed, refused };

  ByteLimitValidator(std::size_t maxBytes, Spaces spaces, QObject* parent)
      : QValidator(parent), maxBytes_(maxBytes), spaces_(spaces) {}

  State validate(QString& input, int& pos) const override;

 private:
  std::size_t maxBytes_;
  Spaces spaces_;
};

}  // namespace orvalis::ui
