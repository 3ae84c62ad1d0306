// Anchors the test support library, which may otherwise hold only headers.
namespace test_support_anchor {
int anchor = 0;
}
