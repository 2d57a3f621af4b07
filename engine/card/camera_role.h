// How a camera was used on set; decides the class of its clips over the rules.
#pragma once

namespace tolverdine {

/// fixed: a locked-off wide camera ("풀샷"); interview: the interview camera ("인터뷰").
enum class CameraRole { none, fixed, interview };

}  // namespace tolverdine
