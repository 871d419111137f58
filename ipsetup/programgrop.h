// The launcher: opens the IP settings dialog or the user guide.
#pragma once

#include <QMainWindow>
#include <memory>
#include <vector>

class netIpSet;

// Start-up of the setup tool, before the application exists: text streams (the address
// file) write in the system's encoding, whatever codec was in force before.
void setupTextCodecs();

namespace Ui
{
class ProgramGrop;
}

class ProgramGrop : public QMainWindow
{
    Q_OBJECT

  public:
    explicit ProgramGrop(QWidget *parent = nullptr);
    ~ProgramGrop() override;

  private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();

  private:
    Ui::ProgramGrop *ui;
    // Closed dialogs are only hidden; they go with the launcher.
    std::vector<std::unique_ptr<netIpSet>> dialogs;
};
