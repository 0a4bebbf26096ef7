#include "ghostdemo/ghostscene.hpp"

GhostScene::GhostScene() : box(new kpxVertexBox(5.0, 5.0, 5.0)) {
    root.setRoot();
    root.setName("Root");
    root.addChild(&transform);
    transform.addChild(&box);
}

void GhostScene::createCollisionEngine() {
    collision = std::make_unique<kpxCollisionEngine>(&root, &factory, kpxCollisionEngine::CONTACTS);
}
