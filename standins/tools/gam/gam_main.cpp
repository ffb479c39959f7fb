// gam: the Google Workspace administration tool as the system calls it, answering from the
// simulated domain. Every call runs inside the gwssim tool frame (call log, fault rules).
#include "gam.h"
#include "gam_cfg.h"

#include <gwssim/toolrun.h>

#include <unistd.h>

#include <cstdio>

namespace {

// The grant a command needs from the service-account key.
const char* Needed_Grant(GamOp op) {
    switch (op) {
    case GamOp::CountMessages:
    case GamOp::ExportMessage:
    case GamOp::InsertMessage:
        return "gmail";
    case GamOp::PrintEvents:
    case GamOp::ImportEvent:
        return "calendar";
    case GamOp::PrintGroups:
    case GamOp::PrintContacts:
    case GamOp::CreateContact:
        return "contacts";
    default:
        return "drive";
    }
}

// gam.cfg must name the simulated domain (primary domain, customer id, an admin) with domain-wide
// delegation on, and oauth2service.json must be a key registered for that domain with the grant.
int Authorize(const GamCmd& cmd, GamCtx& ctx) {
    std::string dir = Gam_Cfg_Dir(), err;
    GamCfg cfg;
    auto refuse = [](const std::string& text, int status) { return Gam_Error(text, status); };
    if (Gam_Read_Cfg(dir, cfg, err) != 0) return refuse(err, kGamConfig);
    if (!cfg.enable_dasa) return refuse("enable_dasa is not true in " + dir + "/gam.cfg", kGamConfig);
    if (cfg.domain.empty() || cfg.admin_email.empty() || cfg.customer_id.empty())
        return refuse("domain, admin_email and customer_id must be set in " + dir + "/gam.cfg", kGamConfig);
    ctx.root = Gwssim_Key_Root(Gwssim_Root(), dir + "/oauth2service.json");
    if (Gwssim_Load_Domain(ctx.root, ctx.domain) != 0 || ctx.domain.domains.empty())
        return Gam_Error("Connection error: no Workspace domain answers at " + ctx.root, kGamSocket);
    if (cfg.domain != ctx.domain.domains[0]) return refuse("401: Domain " + cfg.domain + " is not known", kGamHttp);
    if (cfg.customer_id != ctx.domain.customer_id)
        return refuse("401: Customer id " + cfg.customer_id + " does not belong to " + cfg.domain, kGamHttp);
    const GwsUser* admin = Gwssim_Find_User(ctx.domain, cfg.admin_email);
    if (!admin || !admin->admin)
        return refuse("401: " + cfg.admin_email + " is not an admin of " + cfg.domain, kGamHttp);
    GwsKey key;
    int rc = Gwssim_Load_Key_File(ctx.root, dir + "/oauth2service.json", key);
    if (rc == -2) return refuse("Service account file " + dir + "/oauth2service.json does not exist", kGamKeyInvalid);
    if (rc != 0) return refuse("401: invalid_client: the service account key is not known", kGamKeyInvalid);
    if (!key.enabled) return refuse("401: invalid_grant: the service account key has been disabled", kGamKeyInvalid);
    if (!Gwssim_Key_In_Domain(ctx.domain, key))
        return refuse("API access Denied: unauthorized_client: the key is not authorized for " + cfg.domain,
                      kGamApiDenied);
    const char* grant = Needed_Grant(cmd.op);
    if (!Gwssim_Key_Has_Grant(key, grant))
        return refuse(std::string("API access Denied: 403: insufficient scopes: ") + grant +
                          " is not granted to the service account",
                      kGamApiDenied);
    ctx.user = Gwssim_Find_User(ctx.domain, cmd.user);
    // An unknown account fails the action on that one entity.
    if (!ctx.user) return Gam_Error("User: " + cmd.user + ", Does not exist");
    return 0;
}

int Run(const GamCmd& cmd, GamCtx& ctx) {
    switch (cmd.op) {
    case GamOp::FileList: return Gam_File_List(cmd, ctx);
    case GamOp::FileTree: return Gam_File_Tree(cmd, ctx);
    case GamOp::ShowAcls: return Gam_Show_Acls(cmd, ctx);
    case GamOp::GetFile: return Gam_Get_File(cmd, ctx);
    case GamOp::CreateFolder:
    case GamOp::UploadFile: return Gam_Create_Drive_File(cmd, ctx);
    case GamOp::CountMessages: return Gam_Count_Messages(cmd, ctx);
    case GamOp::ExportMessage: return Gam_Export_Message(cmd, ctx);
    case GamOp::InsertMessage: return Gam_Insert_Message(cmd, ctx);
    case GamOp::PrintEvents: return Gam_Print_Events(cmd, ctx);
    case GamOp::ImportEvent: return Gam_Import_Event(cmd, ctx);
    case GamOp::PrintGroups: return Gam_Print_Groups(cmd, ctx);
    case GamOp::PrintContacts: return Gam_Print_Contacts(cmd, ctx);
    case GamOp::CreateContact: return Gam_Create_Contact(cmd, ctx);
    case GamOp::None: break;
    }
    return Gam_Error("Nothing to do", kGamUsage);
}

bool Write_Out(const std::string& out) {
    size_t done = 0;
    while (done < out.size()) {
        ssize_t w = write(1, out.data() + done, out.size() - done);
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

int Gam_Body(int argc, char** argv) {
    GamCmd cmd;
    std::string err;
    if (Gam_Parse(argc, argv, cmd, err) != 0) return Gam_Error(err, kGamUsage);
    if (cmd.op == GamOp::None)
        return Gam_Make_Default_Cfg(Gam_Cfg_Dir(), err) == 0 ? 0 : Gam_Error(err, kGamFileError);
    GamCtx ctx;
    int status = Authorize(cmd, ctx);
    if (status != 0) return status;
    status = Run(cmd, ctx);
    // An empty listing still prints its header line.
    if (status != kGamOk && status != kGamNoEntities) return status;
    return Write_Out(ctx.out) ? status : Gam_Error("Cannot write the output", kGamFileError);
}

}  // namespace

int Gam_Error(const std::string& text, int status) {
    fprintf(stderr, "ERROR: %s\n", text.c_str());
    return status;
}

int main(int argc, char** argv) { return Gwssim_Tool_Main("gam", argc, argv, Gam_Body); }
