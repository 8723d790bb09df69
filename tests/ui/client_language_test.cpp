// The language menu of a real window: its entries, applying a file to
// every owner of texts, and keeping the choice in the settings.

#include <filesystem>
#include <fstream>

#include "client_fixture.h"

namespace orvalis::testing {
namespace {

namespace fs = std::filesystem;

class LanguageTest : public ClientTest {
 protected:
  void writeLanguage(const std::string& name, const std::string& lines) {
    fs::create_directories(dir.path() / "Language");
    std::ofstream(dir.path() / "Language" / name, std::ios::binary) << lines;
  }
  int visibleEntries() {
    int n = 0;
    for (QAction* entry : client().mainMenu().languages) n += entry->isVisible() ? 1 : 0;
    return n;
  }
  QAction* entry(const QString& caption) {
    for (QAction* e : client().mainMenu().languages)
      if (e->isVisible() && e->text() == caption) return e;
    return nullptr;
  }
  std::string savedLanguage() {
    store::CnfData cnf, cnfEdit;
    store::CConfig config(cnf, cnfEdit, dir.dir());
    return cnf.language.str();
  }
};

TEST_F(LanguageTest, TenFilesGiveNineEntries) {
  fs::remove_all(dir.path() / "Language");
  for (int i = 0; i < 10; ++i) writeLanguage("Lang" + std::to_string(i) + ".ln", "20=Setup\n");
  writeLanguage("X.ln", "20=Setup\n");           // a name of one letter
  writeLanguage("Spare.ln.bak", "20=Setup\n");  // ".ln" not at the end
  makeClient();
  EXPECT_EQ(visibleEntries(), 9);
  for (QAction* e : client().mainMenu().languages) {
    if (e->isVisible()) {
      EXPECT_TRUE(e->text().startsWith("&Lang")) << e->text().toStdString();
    }
  }
  // "&English" names no file here: nothing is checked or applied.
  EXPECT_EQ(client().mainMenu().config->text(), "Config");
}

TEST_F(LanguageTest, ChosenFileReachesEveryOwnerAndIsKeptForTheNextStart) {
  writeLanguage("Test.ln",
                "10=Go\n20=Setup\n41=Quit\n104=Looking\n201=Incoming\n270=Sure?\n305=Fresh\n"
                "408=Keep it\n");
  makeClient();
  const QImage before = client().buttonImages().image(ui::btnCall, ui::ButtonLook::normal);
  QAction* test = entry("&Test");
  ASSERT_NE(test, nullptr);
  test->trigger();

  EXPECT_TRUE(test->isChecked());
  for (QAction* e : client().mainMenu().languages) {
    if (e != test) {
      EXPECT_FALSE(e->isChecked());
    }
  }
  EXPECT_EQ(client().texts().caption(ui::btnCall), "Go");
  const QImage after = client().buttonImages().image(ui::btnCall, ui::ButtonLook::normal);
  EXPECT_NE(after, before);
  EXPECT_EQ(w().buttons[ui::btnCall]->pixmap().toImage().convertToFormat(after.format()), after);
  EXPECT_EQ(client().mainMenu().config->text(), "Setup");
  EXPECT_EQ(client().tray().shutDown->text(), "Quit");
  EXPECT_EQ(phone().text(phone::PhoneText::txtSearch), "Looking");
  EXPECT_EQ(client().configSeam().text(201).value_or(""), "Incoming");
  EXPECT_EQ(client().accountActions().text(270), "Sure?");
  EXPECT_EQ(client().registration().text(305), "Fresh");
  EXPECT_EQ(client().passwd().text(408), "Keep it");
  EXPECT_EQ(savedLanguage(), "&Test");

  // The next start applies the saved choice without being asked.
  destroyClient();
  makeClient();
  EXPECT_TRUE(entry("&Test")->isChecked());
  EXPECT_EQ(client().texts().caption(ui::btnCall), "Go");
  EXPECT_EQ(phone().text(phone::PhoneText::txtSearch), "Looking");
}

}  // namespace
}  // namespace orvalis::testing
