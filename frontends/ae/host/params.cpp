#include "params.h"

#include <cstring>

#include "AE_EffectCB.h"
#include "string_table.h"

namespace telvix {

PF_Err setupParams(PF_InData* in_data, PF_OutData* out_data)
{
    // One record serves all three adds and is cleared only once, so each add sets every field
    // its type reads; the union still holds the bytes of the earlier adds.
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    auto addParam = [&](PF_ParamType type, A_long id, StringId name) {
        def.param_type = type;
        def.uu.id = id;
        def.ui_flags = 0;
        def.flags = 0;
        in_data->utils->ansi.strcpy(def.name, stringFor(name));
        return in_data->inter.add_param(in_data->effect_ref, -1, &def);
    };

    def.u.bd.value = kUseColorKeyDefault;
    def.u.bd.dephault = kUseColorKeyDefault;
    def.u.bd.u.nameptr = stringFor(kStrUseColorKeyLabel);
    if (const PF_Err err = addParam(PF_Param_CHECKBOX, kParamUseColorKey, kStrUseColorKeyName)) {
        return err;
    }

    def.u.cd.value = kColorKeyDefault;
    def.u.cd.dephault = kColorKeyDefault;
    if (const PF_Err err = addParam(PF_Param_COLOR, kParamColorKey, kStrColorKeyName)) {
        return err;
    }

    // value_str and value_desc overlay the colour's default and the check box's label pointer
    // written above: clear them whole so the slider shows no stray text.
    def.u.sd.value = kSmoothRangeDefault;
    std::memset(def.u.sd.value_str, 0, sizeof def.u.sd.value_str);
    std::memset(def.u.sd.value_desc, 0, sizeof def.u.sd.value_desc);
    def.u.sd.valid_min = kSmoothRangeMin;
    def.u.sd.valid_max = kSmoothRangeMax;
    def.u.sd.slider_min = kSmoothRangeMin;
    def.u.sd.slider_max = kSmoothRangeMax;
    def.u.sd.dephault = kSmoothRangeDefault;
    if (const PF_Err err = addParam(PF_Param_SLIDER, kParamSmoothRange, kStrSmoothRangeName)) {
        return err;
    }

    out_data->num_params = kParamCount;
    return PF_Err_NONE;
}

}  // namespace telvix
