// placeholder, replaced by its window
namespace rksv {
}
