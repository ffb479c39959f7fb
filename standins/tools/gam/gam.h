// gam working against the simulated domain: what every command gets once the configuration,
// the key and the account have been checked, and the commands themselves.
#pragma once

#include "gam_cli.h"
#include "gam_out.h"

#include <gwssim/state.h>

#include <string>

struct GamCtx {
    std::string root;            // the simulated domain's folder
    GwsDomain domain;
    const GwsUser* user = nullptr;  // the account the command acts as (in domain.users)
    std::string out;             // standard output, written when the command ends 0 or kGamNoEntities
};

// Prints "ERROR: <text>" on standard error; returns status (a GamStatus).
int Gam_Error(const std::string& text, int status = kGamActionFailed);

// Each returns its exit status: 0 with ctx.out filled, kGamNoEntities for a listing without rows
// (ctx.out holds its header), or another GamStatus after Gam_Error.
int Gam_File_List(const GamCmd& cmd, GamCtx& ctx);
int Gam_File_Tree(const GamCmd& cmd, GamCtx& ctx);
int Gam_Show_Acls(const GamCmd& cmd, GamCtx& ctx);
int Gam_Get_File(const GamCmd& cmd, GamCtx& ctx);
int Gam_Create_Drive_File(const GamCmd& cmd, GamCtx& ctx);

int Gam_Count_Messages(const GamCmd& cmd, GamCtx& ctx);
int Gam_Export_Message(const GamCmd& cmd, GamCtx& ctx);
int Gam_Insert_Message(const GamCmd& cmd, GamCtx& ctx);

int Gam_Print_Events(const GamCmd& cmd, GamCtx& ctx);
int Gam_Import_Event(const GamCmd& cmd, GamCtx& ctx);

int Gam_Print_Groups(const GamCmd& cmd, GamCtx& ctx);
int Gam_Print_Contacts(const GamCmd& cmd, GamCtx& ctx);
int Gam_Create_Contact(const GamCmd& cmd, GamCtx& ctx);
