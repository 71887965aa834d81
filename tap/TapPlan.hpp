#pragma once

namespace sonvel::TapPlan {

// What a tap does to the tapped application's own audio.
enum class Muting { never = 0, whileTapped = 1, always = 2 };

}  // namespace sonvel::TapPlan
