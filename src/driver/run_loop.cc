// STUB: replaced by the driver work.
namespace grouper {}
