// The main window's two reminders: the update check when the last one is
// older than the set number of days, and the backup when the last backup
// is. Both read "ruv.ini" [ustawienia] afresh at each call; the window
// decides what to show.
#pragma once

// Writes the first-run defaults into "ruv.ini" once per "ruv_admin.ini":
// only while its czy_pierwszy is exactly "Tak", which then becomes "Nie".
// A settings file that cannot be written leaves czy_pierwszy as it was, so
// the next start tries again; nothing is reported.
void WriteFirstRunDefaults();

// True when update proposals are on ("Tak") and more than the set number
// of days have passed since the last check. A stored date that is no valid
// date counts as long past.
bool UpdateCheckDue();

enum class TBackupProposal {
  None,   // proposals off, or the last backup is recent enough
  Ask,    // propose it
  Force,  // make it without asking
};
// What the closing should do about a backup. A stored date that is no
// valid date counts as due.
TBackupProposal BackupProposalDue();

// The answer "Wyłącz_proponowanie_kopii": no proposals and no forced
// backups until the settings window switches them on again.
void SwitchBackupProposalsOff();
