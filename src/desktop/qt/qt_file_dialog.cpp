#include "desktop/qt/qt_file_dialog.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <map>
#include <vector>

namespace parlivo {
namespace {

namespace flags = file_dialog_flags;

QString FromSeam(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string ToSeam(const QString& text) { return text.toUtf8().toStdString(); }

// A shell item that is a path in the file system.
class PathShellItem final : public ShellItem {
 public:
  explicit PathShellItem(QString path) : path_(std::move(path)) {}

  std::optional<std::string> GetDisplayName(ShellItemName kind) const override {
    if (kind == ShellItemName::FileSystemPath) return ToSeam(path_);
    const QString name = QFileInfo(path_).fileName();
    return ToSeam(name.isEmpty() ? path_ : name);  // the root has no file name
  }

 private:
  QString path_;
};

// A QFileDialog that asks before it closes with a choice.
class ConfirmingFileDialog final : public QFileDialog {
 public:
  // `confirm` returns false to keep the dialog open.
  ConfirmingFileDialog(QWidget* parent, std::function<bool()> confirm)
      : QFileDialog(parent), confirm_(std::move(confirm)) {}

  // QFileDialog::accept() validates the choice and then closes through here.
  void done(int result) override {
    if (result == QDialog::Accepted && confirm_ && !confirm_()) return;
    QFileDialog::done(result);
  }

 private:
  std::function<bool()> confirm_;
};

class QtFileOpenDialog final : public FileOpenDialogObject {
 public:
  explicit QtFileOpenDialog(QWidget* owner)
      : dialog_(new ConfirmingFileDialog(owner, [this] { return ConfirmChoice(); })) {
    dialog_->setOption(QFileDialog::DontUseNativeDialog);
    dialog_->setAcceptMode(QFileDialog::AcceptOpen);
    dialog_->setFileMode(QFileDialog::ExistingFile);
    // The dialog is the context of every connection, so they end with it.
    QFileDialog* dialog = dialog_.data();
    QObject::connect(dialog, &QFileDialog::currentChanged, dialog,
                     [this](const QString&) { Notify([this](FileDialogEvents& s) { s.OnSelectionChange(*this); }); });
    QObject::connect(dialog, &QFileDialog::directoryEntered, dialog,
                     [this](const QString&) { Notify([this](FileDialogEvents& s) { s.OnFolderChange(*this); }); });
    QObject::connect(dialog, &QFileDialog::filterSelected, dialog,
                     [this](const QString&) { Notify([this](FileDialogEvents& s) { s.OnTypeChange(*this); }); });
  }

  ~QtFileOpenDialog() override { delete dialog_.data(); }

  QtFileOpenDialog(const QtFileOpenDialog&) = delete;
  QtFileOpenDialog& operator=(const QtFileOpenDialog&) = delete;

  void SetClientGuid(const Guid&) override {}

  void SetDefaultExtension(const std::string& extension) override {
    QString suffix = FromSeam(extension);
    while (suffix.startsWith(u'*') || suffix.startsWith(u'.')) suffix.remove(0, 1);
    if (dialog_) dialog_->setDefaultSuffix(suffix);
  }

  void SetFileName(const std::string& name) override {
    if (dialog_) dialog_->selectFile(FromSeam(name));
  }

  void SetFileNameLabel(const std::string& label) override {
    if (dialog_) dialog_->setLabelText(QFileDialog::FileName, FromSeam(label));
  }

  void SetOkButtonLabel(const std::string& label) override {
    if (dialog_) dialog_->setLabelText(QFileDialog::Accept, FromSeam(label));
  }

  void SetTitle(const std::string& title) override {
    if (dialog_) dialog_->setWindowTitle(FromSeam(title));
  }

  void SetFolder(const ShellItem& folder) override {
    std::optional<std::string> path = folder.GetDisplayName(ShellItemName::FileSystemPath);
    if (dialog_ && path) dialog_->setDirectory(FromSeam(*path));
  }

  void SetFileTypes(const std::vector<FileDialogFilter>& types) override {
    filters_.clear();
    for (const FileDialogFilter& type : types) filters_.append(QtNameFilter(type));
    if (dialog_) dialog_->setNameFilters(filters_);
  }

  void SetFileTypeIndex(std::uint32_t index) override {
    // 1-based; anything outside the list leaves Qt's choice, the first filter.
    if (dialog_ && index >= 1 && index <= static_cast<std::uint32_t>(filters_.size())) {
      dialog_->selectNameFilter(filters_[static_cast<qsizetype>(index - 1)]);
    }
  }

  std::uint32_t GetFileTypeIndex() const override {
    if (!dialog_) return 0;
    return static_cast<std::uint32_t>(filters_.indexOf(dialog_->selectedNameFilter()) + 1);
  }

  void SetOptions(std::uint32_t options) override {
    if (!dialog_) return;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    if (options & flags::kPickFolders) {
      mode = QFileDialog::Directory;
    } else if (options & flags::kAllowMultiSelect) {
      mode = QFileDialog::ExistingFiles;
    } else if (options & flags::kFileMustExist) {
      mode = QFileDialog::ExistingFile;
    }
    dialog_->setFileMode(mode);
    dialog_->setOption(QFileDialog::ShowDirsOnly, (options & flags::kPickFolders) != 0);
    dialog_->setOption(QFileDialog::DontResolveSymlinks, (options & flags::kNoDereferenceLinks) != 0);
    QDir::Filters filter = dialog_->filter();
    filter.setFlag(QDir::Hidden, (options & flags::kForceShowHidden) != 0);
    dialog_->setFilter(filter);
  }

  void AddPlace(const ShellItem& place, FileDialogPlacement where) override {
    std::optional<std::string> path = place.GetDisplayName(ShellItemName::FileSystemPath);
    if (!dialog_ || !path) return;
    QList<QUrl> places = dialog_->sidebarUrls();
    const QUrl url = QUrl::fromLocalFile(FromSeam(*path));
    if (where == FileDialogPlacement::Top) {
      places.prepend(url);
    } else {
      places.append(url);
    }
    dialog_->setSidebarUrls(places);
  }

  std::optional<std::uint32_t> Advise(FileDialogEvents& sink) override {
    const std::uint32_t cookie = nextCookie_++;
    sinks_[cookie] = &sink;
    return cookie;
  }

  void Unadvise(std::uint32_t cookie) override { sinks_.erase(cookie); }

  // Application-modal: Qt blocks input to every other window while exec()
  // runs. The focus is given back explicitly, as a window hidden from under
  // a modal dialog does not always get it back by itself.
  bool Show() override {
    if (!dialog_) return false;
    QPointer<QWidget> focus = QApplication::focusWidget();
    // Files the selected filter does not match are shown greyed out rather
    // than hidden: Qt keeps Open disabled for a typed name it cannot find
    // in its list, so a hidden program could not be chosen by its name.
    if (auto* model = dialog_->findChild<QFileSystemModel*>()) model->setNameFilterDisables(true);
    dialog_->setWindowModality(Qt::ApplicationModal);
    const bool accepted = dialog_->exec() == QDialog::Accepted;
    if (focus) {
      focus->activateWindow();
      focus->setFocus();
    }
    return accepted && dialog_;  // the owner may have taken the dialog with it
  }

  std::unique_ptr<ShellItem> GetResult() override {
    const QStringList files = Chosen();
    if (files.isEmpty()) return nullptr;
    return std::make_unique<PathShellItem>(files.first());
  }

  std::vector<std::unique_ptr<ShellItem>> GetResults() override {
    std::vector<std::unique_ptr<ShellItem>> items;
    for (const QString& file : Chosen()) items.push_back(std::make_unique<PathShellItem>(file));
    return items;
  }

  std::uintptr_t WindowHandle() const override {
    return dialog_ ? static_cast<std::uintptr_t>(dialog_->winId()) : 0;
  }

 private:
  QStringList Chosen() const {
    if (!dialog_ || dialog_->result() != QDialog::Accepted) return {};
    return dialog_->selectedFiles();
  }

  // Calls `call` on every registered sink; a sink unregistered by an
  // earlier one is not called.
  void Notify(const std::function<void(FileDialogEvents&)>& call) {
    std::vector<std::uint32_t> cookies;
    for (const auto& entry : sinks_) cookies.push_back(entry.first);
    for (std::uint32_t cookie : cookies) {
      auto it = sinks_.find(cookie);
      if (it != sinks_.end()) call(*it->second);
    }
  }

  bool ConfirmChoice() {
    bool close = true;
    Notify([&](FileDialogEvents& sink) {
      if (sink.OnFileOk(*this) == kDialogFalse) close = false;
    });
    return close;
  }

  QPointer<ConfirmingFileDialog> dialog_;  // owned; the owner window may delete it first
  QStringList filters_;
  std::map<std::uint32_t, FileDialogEvents*> sinks_;
  std::uint32_t nextCookie_ = 1;
};

}  // namespace

std::unique_ptr<FileOpenDialogObject> QtFileDialogPlatform::CreateFileOpenDialog() {
  QWidget* owner = owner_ ? owner_.data() : QApplication::activeWindow();
  return std::make_unique<QtFileOpenDialog>(owner);
}

std::unique_ptr<ShellItem> QtFileDialogPlatform::CreateItemFromParsingName(const std::string& path) {
  const QString name = FromSeam(path);
  if (name.isEmpty()) return nullptr;
  const QFileInfo info(name);
  if (!info.exists()) return nullptr;
  return std::make_unique<PathShellItem>(QDir::cleanPath(info.absoluteFilePath()));
}

QString QtNameFilter(const FileDialogFilter& type) {
  QString name = FromSeam(type.DisplayName).trimmed();
  const QString mask = FromSeam(type.FileMask).trimmed();
  QStringList patterns = mask.split(u';', Qt::SkipEmptyParts);
  for (QString& pattern : patterns) pattern = pattern.trimmed();
  const QString joined = patterns.join(u' ');
  if (joined.isEmpty()) return name;
  if (name.isEmpty()) return joined;
  for (const QString& shown : {mask, joined}) {
    const QString suffix = u'(' + shown + u')';
    if (name.endsWith(suffix)) {
      name.chop(suffix.size());
      name = name.trimmed();
      break;
    }
  }
  if (name.isEmpty()) return joined;
  return name + QStringLiteral(" (") + joined + u')';
}

}  // namespace parlivo
