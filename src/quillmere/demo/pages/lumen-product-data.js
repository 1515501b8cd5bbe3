// Builds the carafe's product data 200 ms after the page has loaded.
document.addEventListener("DOMContentLoaded", function () {
  setTimeout(function () {
    var data = {
      "@context": "https://schema.org", "@type": "Product", "name": "Glass Carafe, 1 L",
      "sku": "LH-CAR-1000", "brand": {"@type": "Brand", "name": "Lumen Home"},
      "offers": {"@type": "Offer", "price": "48.00", "priceCurrency": "USD",
                 "availability": "https://schema.org/InStock"}
    };
    var s = document.createElement("script");
    s.type = "application/ld+json";
    s.text = JSON.stringify(data);
    document.head.appendChild(s);
    document.getElementById("price").textContent = "$48.00";
  }, 200);
});
