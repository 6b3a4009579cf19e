; JavaScript only: TypeScript names its class fields differently.

(field_definition property: [(property_identifier) (private_property_identifier)] @name) @definition.field
(class_heritage (identifier) @name) @reference.type
(class_heritage (member_expression property: (property_identifier) @name)) @reference.type
