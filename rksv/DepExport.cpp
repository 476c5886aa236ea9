// placeholder
namespace rksv {
}
