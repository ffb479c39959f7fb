// gam's configuration folder: where it is, the default a bare run writes, and what every other
// command needs from gam.cfg before it acts.
#pragma once

#include <string>

// GAMCFGDIR when set; else $QLM_ROOT/root/.gam when QLM_ROOT names an absolute, existing folder
// other than "/"; else /root/.gam.
std::string Gam_Cfg_Dir();

// The bare run: creates the folder (0700) and a default gam.cfg when they are missing; an
// existing gam.cfg is left alone. 0, or 1 with err set.
int Gam_Make_Default_Cfg(const std::string& dir, std::string& err);

// Section DEFAULT of gam.cfg.
struct GamCfg {
    std::string domain, admin_email, customer_id;
    bool enable_dasa = false;
};

// Reads section DEFAULT of dir/gam.cfg. 0, or 1 with err set (no file, no section).
int Gam_Read_Cfg(const std::string& dir, GamCfg& cfg, std::string& err);

// True for the texts GAM reads as true: true, yes, on, 1 in any case.
bool Gam_Cfg_True(const std::string& text);
