#include "app/usage.h"

#include <iterator>

#include "app/command_line.h"
#include "base/console.h"
#include "kestrel_version.h"

namespace kes {
namespace {

constexpr const wchar_t* kExecutableName = L"KESLNX_64";

// The synopsis lines, in printing order; "%ls" is the executable name.
const wchar_t* const kSynopses[] = {
    L"    %ls /o /s <NVRAM Script File> [/h <HII dump file>] [/sd <Duplicate \n\tScript File>] [/b] [/v] [/q] [/lang [Lang Code]] [/sp] [/g] [/a] [/d] \n\t[/ndef] [/ce] [/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /i /s <NVRAM Script File> [/ds] [/dm] [/b] [/lang [Lang Code]]\n\t[/r] [/d] [/ni] [/cpwd | /cpwds | /cpwde <Current Admin Password> \n\t| /cpwdf |/cpwdef | /cpwdsf <File having Current Admin Password>] \n\t[/shutdown] [/reboot] [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
    L"    %ls /o /p <PLDM File Name> [/sp] [/g] [/b] [/ndef] [/hb][/log]\n\t[/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /i /p <PLDM File Name> [/b] [/hb] [/ni] [/shutdown] [/reboot] \n\t[/cpwd | /cpwds | /cpwde <Current Admin Password> | /cpwdf |/cpwdef | \n\t/cpwdsf <File having Current Admin Password>] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]  \n",
    L"    %ls /i [/lang <Lang Code>] /ms <question map string> /qv <question \n\tvalue> [/dm] [/ds] [/cpwd | /cpwds | /cpwde <Current Admin Password> |\n\t/cpwdf |/cpwdef | /cpwdsf <Current Admin Password FileName]\n\t[/bt <device type>] [/q] [/d] [/hb] [/ni] [/shutdown] [/reboot] [/log] \n\t[/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /o [/lang <Lang Code>] /ms <question map string> [/ov] [/q] [/d] \n\t[/hb] [/ds] [/dm] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cpwd <current admin password> /apwd <new admin Password> \n\t[/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cpwdf <file having current admin password> /apwdf <file\n\thaving new admin Password> [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
    L"    %ls /cpwd <current admin password> /upwd <new user Password>\n\t[/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cpwdf <file having current admin password> /upwdf <file\n\thaving new user Password> [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
    L"    %ls /cpwd <current admin password> /apwd <new admin Password> \n\t/upwd <new user password> [/hb] [/log] [/loglvl: <value>]\n\t[/logfile: <filename>]\n",
    L"    %ls /cpwdf <file having current admin password> /apwdf <file \n\thaving new admin Password> /upwdf <file having new user password> \n\t[/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cpwds <current admin password> /apwds <new admin Password>\n\t[/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cpwdsf <file having current admin password> /apwdsf <file\n\thaving new admin Password> [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
    L"    %ls /cpwds <current admin password> /upwds <new user Password> \n\t[/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cpwdsf <file having current admin password> /upwdsf <file \n\thaving new user Password> [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
    L"    %ls /cpwds <current admin password> /apwds <new admin Password> \n\t/upwds <new user password> [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
    L"    %ls /cpwdsf <file having current admin password> /apwdsf <file \n\thaving new admin Password>  /upwdsf <file having new user password> \n\t[/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cpwde <current admin password> /apwde <new admin Password> \n\t[/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cpwdef <file having current admin password> /apwdef <file \n\thaving new admin Password> [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
    L"    %ls /cpwde <current admin password> /upwde <new user Password>\n\t [/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cpwdef <file having current admin password> /upwdef <file \n\thaving new user Password> [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
    L"    %ls /cpwde <current admin password> /apwde <new admin Password> \n\t/upwde <new user password> [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
    L"    %ls /cpwdef <file having current admin password> /apwdef <file \n\thaving new admin Password>  /upwdef <file having new user password> \n\t[/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /o [/c] /l <listing file> /n <NVRAM Raw File> /h <HII dump file> \n\t[/d] [/hb][/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /i /l <listing file> /n <NVRAM Raw File> [/f] [/d] [/hb] [/ni]\n\t[/cpwd | /cpwds | /cpwde <Current Admin Password> | /cpwdf |/cpwdef | \n\t/cpwdsf <File having Current Admin Password>] [/shutdown] [/reboot] [/log] \n\t[/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /i /varname <variable name> /varguid <variable GUID> \n\t/varvalue <variable data> [/d] [/cpwd | /cpwds | /cpwde <Current \n\tAdmin Password> | /cpwdf |/cpwdef | /cpwdsf <File having Current \n\tAdmin Password>] [/hb] [/q] [/ni] [/shutdown] [/reboot] [/log] \n\t[/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /i /varname <variable name> /varguid <variable GUID> \n\t/varfile <variable data file> [/d]  [/cpwd | /cpwds | /cpwde <Current \n\tAdmin Password> | /cpwdf |/cpwdef | /cpwdsf <File having Current \n\tAdmin Password>] [/hb] [/q] [/ni] [/shutdown] [/reboot] [/log] \n\t[/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cs <scriptfile_A.txt> /cs <scriptfile_B.txt> /o <scriptfile_Difference.txt> \n\t[/q] [/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
    L"    %ls /cs <scriptfile_A.txt> /o <scriptfile_Difference.txt> \n\t[/q] [/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
};
static_assert(std::size(kSynopses) == 30);

// The switches of the "where," list, in printing order, with kPageBreak where the screen pauses.
constexpr Switch kPageBreak = Switch::Count;
const Switch kHelpOrder[] = {
    Switch::O, Switch::I, Switch::C, Switch::L, kPageBreak,
    Switch::N, Switch::H, Switch::S, Switch::F, Switch::V, Switch::Q, Switch::Ds, Switch::Dm, Switch::B, Switch::R,
    Switch::Lang, Switch::Sp, Switch::G, Switch::A, Switch::Cpwd, Switch::Apwd, Switch::Upwd, kPageBreak,
    Switch::Cpwdf, Switch::Apwdf, Switch::Upwdf, Switch::Cpwdsf, Switch::Apwdsf, Switch::Upwdsf, Switch::Cpwdef,
    Switch::Apwdef, Switch::Upwdef, Switch::Cpwds, Switch::Apwds, Switch::Upwds, Switch::Cpwde, kPageBreak,
    Switch::Apwde, Switch::Upwde, Switch::Ms, Switch::Qv, Switch::Bt, Switch::P, Switch::Ce, Switch::Hb, Switch::Sd,
    Switch::D, Switch::Ndef, Switch::Ni, Switch::Shutdown, Switch::Reboot, Switch::VarName, kPageBreak,
    Switch::VarGuid, Switch::VarValue, Switch::VarFile, Switch::Ov, Switch::Log, Switch::LogLvl, Switch::LogFile,
    Switch::Cs,
};
static_assert(std::size(kHelpOrder) == kSwitchCount + 4, "every switch once, and four page breaks");

void Synopsis(int number) { Print(Stream::Out, kSynopses[number - 1], kExecutableName); }

void HelpLine(Switch s) {
  if (s == Switch::Sd) {
    Out(L"\t   /sd - Export duplicate questions in new file \n");
    return;
  }
  Print(Stream::Out, L"       %-12ls- %ls\n", SwitchName(s), SwitchTable(s).help);
  if (s == Switch::LogLvl) {
    static const wchar_t* const kLevelNames[] = {L"LV_ALWS", L"LV_KERN", L"LV_LIBR", L"LV_MODL"};
    for (int i = 0; i < 4; ++i)
      Print(Stream::Out, L"               %d   - Enables %ls output\n", 1 << i, kLevelNames[i]);
  }
}

}  // namespace

void ShowBanner() {
  Out(L"\n------------------------------------------------------------------------------\n");
  Print(Stream::Out, L"|                       Kestrel Utility. Ver %d.%02d.%04d                        |",
        KESTREL_VERSION_MAJOR, KESTREL_VERSION_MINOR, KESTREL_VERSION_PATCH);
  Out(L"\n------------------------------------------------------------------------------\n");
}

void ShowUsage(const std::function<bool()>& pause) {
  Out(L"Default Usage:\n");
  Synopsis(1);
  Synopsis(2);
  Out(L"\nTo Export PLDM Tables:\n");
  Synopsis(3);
  Out(L"\nTo Import PLDM Tables:\n");
  Synopsis(4);
  if (!pause()) return;

  Out(L"\nSingle Question Update Usage:\n");
  Synopsis(5);
  Out(L"\nNote: Values of type numeric will be taken as hex always (0x prefix optional).\n");
  Out(L"\nSingle Question Export Usage:\n");
  Synopsis(6);
  Out(L"\nTo set new user and new admin password for Setup:\n");
  for (int n = 7; n <= 10; ++n) Synopsis(n);
  if (!pause()) return;

  Synopsis(11);
  Synopsis(12);
  Out(L"\nTo set new user and new admin password of type Scan Code for Setup:\n");
  for (int n = 13; n <= 18; ++n) Synopsis(n);
  Out(L"\nTo set new user and new admin password of type EFI Key for Setup:\n");
  Synopsis(19);
  if (!pause()) return;

  for (int n = 20; n <= 24; ++n) Synopsis(n);
  Out(L"\nRaw Mode Usage:\n");
  Synopsis(25);
  Synopsis(26);
  if (!pause()) return;

  Out(L"\nSingle Variable Update Usage:\n");
  Synopsis(27);
  Synopsis(28);
  Out(L"\nScript Compare Usage:\n");
  Synopsis(29);
  Out(L"    (OR)\n");
  Synopsis(30);
  Out(L"    where,\n");
  for (Switch s : kHelpOrder) {
    if (s == kPageBreak) {
      if (!pause()) return;
      continue;
    }
    HelpLine(s);
  }
}

}  // namespace kes
